#include "core/stream.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

TEST(MemoryStream, ReadWriteSeekTruncate) {
  TZVMemoryStream m;
  m.WriteU32(0x04030201);
  m.WriteString("abc");
  EXPECT_EQ(m.Size(), 7);
  EXPECT_EQ(m.Position(), 7);
  m.SetPosition(0);
  EXPECT_EQ(m.ReadU32(), 0x04030201u);
  EXPECT_EQ(m.Data()[0], 1);  // little-endian
  m.SetPosition(5);
  m.Truncate();
  EXPECT_EQ(m.Size(), 5);
  char buf[8];
  m.SetPosition(3);
  EXPECT_EQ(m.Read(buf, 8), 2);  // short read at the end
  EXPECT_THROW(m.ReadBuffer(buf, 1), EStreamError);
  // Writing past the end fills the gap with zeros.
  m.SetPosition(10);
  m.WriteU8(9);
  EXPECT_EQ(m.Size(), 11);
  EXPECT_EQ(m.Data()[7], 0);
  EXPECT_THROW(m.Seek(-1, SeekOrigin::Begin), EStreamError);
}

TEST(FileStream, SaveLoadAndOpenErrors) {
  test::TempDir dir;
  TZVMemoryStream m(std::string("hello\0world", 11));
  m.SaveToFile(dir / "f.bin");
  EXPECT_EQ(test::ReadFile(dir / "f.bin"), std::string("hello\0world", 11));

  TZVMemoryStream back;
  back.LoadFromFile(dir / "f.bin");
  EXPECT_EQ(back.AsString(), m.AsString());
  EXPECT_EQ(back.Position(), 0);

  {
    TZVFileStream f(dir / "f.bin", TZVFileStream::Mode::OpenWrite);
    f.SetPosition(5);
    f.Truncate();
    EXPECT_EQ(f.Size(), 5);
  }
  EXPECT_EQ(test::ReadFile(dir / "f.bin"), "hello");

  try {
    TZVFileStream f(dir / "missing", TZVFileStream::Mode::OpenRead);
    FAIL();
  } catch (const EStreamError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot open file"), std::string::npos);
  }
  EXPECT_THROW(TZVFileStream(dir.Path(), TZVFileStream::Mode::OpenRead), EStreamError);
  EXPECT_THROW(TZVFileStream(dir / "no/such/dir/f", TZVFileStream::Mode::Create), EStreamError);
}

TEST(Stream, CopyFromZeroCopiesWholeSource) {
  TZVMemoryStream src(std::string("0123456789"));
  src.SetPosition(4);
  TZVMemoryStream dst;
  EXPECT_EQ(dst.CopyFrom(src, 0), 10);
  EXPECT_EQ(dst.AsString(), "0123456789");
  src.SetPosition(2);
  TZVMemoryStream part;
  part.CopyFrom(src, 3);
  EXPECT_EQ(part.AsString(), "234");
  EXPECT_THROW(part.CopyFrom(src, 100), EStreamError);
}

}  // namespace
}  // namespace ztv

// The codec commands of ztvtool, run as a program the way scripts run it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/errors.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

struct Result {
  int exitCode;
  std::string out, err;
};

class Tool : public testing::Test {
 protected:
  test::TempDir dir;

  static std::string Quote(const std::string& s) {
    std::string q(1, '\'');
    for (char c : s) {
      if (c == '\'')
        q.append("'\\''");
      else
        q.push_back(c);
    }
    q.push_back('\'');
    return q;
  }

  Result Run(const std::vector<std::string>& args) {
    std::string cmd = Quote(ZTVTOOL_PATH);
    for (const auto& a : args) cmd.append(" ").append(Quote(a));
    cmd.append(" >").append(Quote(dir / "stdout")).append(" 2>").append(Quote(dir / "stderr"));
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadFile(dir / "stdout"),
            test::ReadFile(dir / "stderr")};
  }

  std::string Path(const std::string& name) { return dir / name; }
};

std::string Mixed(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    if (rng() % 3 == 0) {
      for (int k = 0; k < 50; ++k) s += static_cast<char>(rng());
    } else {
      s += "Резервная копия версии " + std::to_string(rng() % 50) + "\n";
    }
  }
  s.resize(n);
  return s;
}

TEST_F(Tool, Crc32PrintsEachFileAndFailsWithOneLine) {
  test::WriteFile(Path("a"), "123456789");
  test::WriteFile(Path("b"), "");
  const std::string big = Mixed(200000, 1);
  test::WriteFile(Path("c"), big);
  Result r = Run({"crc32", Path("a"), Path("b"), Path("c")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, Format("2dfd2d88  %s\n00000000  %s\n%08x  %s\n", Path("a"), Path("b"),
                          UpdateCRC32Bytewise(0, big.data(), big.size()), Path("c")));
  r = Run({"crc32", Path("a"), Path("missing")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, Format("Cannot open file \"%s\". No such file or directory\n", Path("missing")));
}

TEST_F(Tool, VersionApplicable) {
  EXPECT_EQ(Run({"version-applicable", "07.05.xx", "07.05.12", "07.05.07"}).out, "true\n");
  EXPECT_EQ(Run({"version-applicable", "07.05.10", "07.05.12", "07.05.07"}).out, "false\n");
  EXPECT_EQ(Run({"version-applicable", "07.04.15", "07.05.00", "07.04.20"}).out, "true\n");
}

TEST_F(Tool, LzhEncodeDecodeRoundTripAndOvershoot) {
  const std::string plain = Mixed(100000, 2);
  test::WriteFile(Path("plain"), plain);
  ASSERT_EQ(Run({"lzh", "encode", Path("plain"), Path("bits")}).exitCode, 0);
  EXPECT_LT(test::ReadFile(Path("bits")).size(), plain.size());
  Result r = Run({"lzh", "decode", "--size", "100000", Path("bits"), Path("back")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(test::ReadFile(Path("back")), plain);

  // A final match is written whole even past N.
  test::WriteFile(Path("run"), std::string(50, 'r'));
  ASSERT_EQ(Run({"lzh", "encode", Path("run"), Path("runbits")}).exitCode, 0);
  ASSERT_EQ(Run({"lzh", "decode", "--size", "3", Path("runbits"), Path("runback")}).exitCode, 0);
  EXPECT_EQ(test::ReadFile(Path("runback")), std::string(50, 'r'));
}

TEST_F(Tool, ContainerPackUnpackEveryFamily) {
  const std::string plain = Mixed(150000, 3);
  test::WriteFile(Path("plain"), plain);
  for (const char* method : {"0", "1", "3", "4", "6", "256"}) {
    Result r = Run({"container", "pack", "--method", method, Path("plain"), Path("packed")});
    ASSERT_EQ(r.exitCode, 0) << method << r.err;
    const std::string packed = test::ReadFile(Path("packed"));
    EXPECT_EQ(packed.size() >= 4 ? UpdateCRC32Bytewise(0, packed.data(), packed.size() - 4) : 1,
              static_cast<uint32_t>(static_cast<uint8_t>(packed[packed.size() - 4])) |
                  (static_cast<uint32_t>(static_cast<uint8_t>(packed[packed.size() - 3])) << 8) |
                  (static_cast<uint32_t>(static_cast<uint8_t>(packed[packed.size() - 2])) << 16) |
                  (static_cast<uint32_t>(static_cast<uint8_t>(packed[packed.size() - 1])) << 24));
    r = Run({"container", "unpack", "--method", method, Path("packed"), Path("back")});
    ASSERT_EQ(r.exitCode, 0) << method << r.err;
    EXPECT_EQ(test::ReadFile(Path("back")), plain) << method;
  }
}

TEST_F(Tool, ContainerMethodSevenLeavesTheOutputAloneAndErrorsAreOneLine) {
  test::WriteFile(Path("plain"), "some bytes");
  ASSERT_EQ(Run({"container", "pack", "--method", "0", Path("plain"), Path("packed")}).exitCode, 0);
  test::WriteFile(Path("existing"), "do not touch");
  Result r = Run({"container", "unpack", "--method", "7", Path("packed"), Path("existing")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(test::ReadFile(Path("existing")), "do not touch");
  // 263 keeps its low 8 bits: 7.
  EXPECT_EQ(Run({"container", "unpack", "--method", "263", Path("packed"), Path("existing")}).exitCode, 0);
  EXPECT_EQ(test::ReadFile(Path("existing")), "do not touch");

  std::string damaged = test::ReadFile(Path("packed"));
  damaged[9] ^= 1;
  test::WriteFile(Path("damaged"), damaged);
  r = Run({"container", "unpack", "--method", "0", Path("damaged"), Path("out")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "[UnPackStream] [TStreamArchiver.LZHUnPackStream] Не совпадает CRC\n");
  r = Run({"container", "unpack", "--method", "5", Path("plain"), Path("out")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "[UnPackStream] [TStreamArchiver.LZMAUnPackStream] Размер входного потока слишком мал\n");
}

}  // namespace
}  // namespace ztv

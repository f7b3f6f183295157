// ztvtool imd ...: IMD packets.
#include <iostream>
#include <memory>

#include "core/stream.h"
#include "formats/imd/imd_dump.h"
#include "tool/commands.h"

namespace ztv::tool {

void AddImdCommands(CLI::App& app) {
  auto* imd = app.add_subcommand("imd", "IMD packets");
  imd->require_subcommand(1);

  struct DumpOptions {
    std::string file;
    int64_t offset = 0;
    bool json = false;
  };
  auto opts = std::make_shared<DumpOptions>();
  auto* dump = imd->add_subcommand("dump", "read one packet at an offset and list its fields and records");
  dump->add_option("FILE", opts->file, "file holding the packet")->required();
  dump->add_option("--offset", opts->offset, "byte offset of the packet in the file")->check(CLI::NonNegativeNumber);
  dump->add_flag("--json", opts->json, "one JSON document instead of the text listing");
  dump->callback([opts] {
    TZVFileStream file(opts->file, TZVFileStream::Mode::OpenRead);
    file.SetPosition(opts->offset);
    // Built whole before printing, so a failure leaves stdout empty.
    std::string listing = DumpIMDPacket(file, opts->json ? TIMDDumpFormat::Json : TIMDDumpFormat::Text);
    std::cout << listing;
  });
}

}  // namespace ztv::tool

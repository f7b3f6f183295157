// Arbitrary bytes as the open-files window's filter text: splitting it into
// server and base path never crashes, and the parts come from the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ops/net_close.h"

namespace {

// The splitting never calls the server.
class NoServer : public ztv::NetFileApi {
 public:
  void SetCredentials(const std::string&, const std::string&) override {}
  uint32_t FileEnum(const std::string&, const std::string&, std::vector<ztv::NetFileInfo3>&, uint32_t&) override {
    std::abort();
  }
  uint32_t FileClose(const std::string&, uint32_t) override { std::abort(); }
  std::string ErrorText(uint32_t) override { return {}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  NoServer server;
  ztv::NetCloseLogic logic(server);
  logic.ParseServerPath(text);
  const bool unc = text.size() >= 2 && text[0] == '\\' && text[1] == '\\';
  if (!unc && (!logic.ServerName.empty() || logic.BasePath != text)) std::abort();
  if (unc && logic.ServerName.compare(0, 2, "\\\\") != 0) std::abort();
  // PosFrom stays inside the text.
  for (int start = -1; start < 4; ++start) {
    const int at = ztv::PosFrom(std::string_view("\\"), text, start);
    if (at < 0 || (at > 0 && start <= 0)) std::abort();
  }
  return 0;
}

#include "ops/interaction.h"

namespace ztv {

std::string PercentText(int32_t percent) {
  return percent >= 1 ? std::to_string(percent) + "%" : std::string();
}

void AppendLogText(std::string& log, const std::string& text, bool newLine) {
  if (newLine && !log.empty()) log += '\n';
  log += text;
}

}  // namespace ztv

// A text log that keeps itself short: when it holds more than MaxLines
// lines, its first CutLines lines are cut away.
#pragma once

#include <cstdint>
#include <string>

namespace ztv {

class TRotationLog {
 public:
  // Stores the values; nothing is opened. An existing file is continued.
  TRotationLog(const std::string& FileName, int CutLines, int MaxLines)
      : FileName_(FileName), CutLines_(CutLines), MaxLines_(MaxLines) {}

  // Appends Text (and CR LF when AddLineBreak) as a line of its own: when
  // the file does not end in a line break, CR LF comes first. The file is
  // opened for this one line and closed again. The first write counts the
  // lines already in the file; later writes keep the count without reading.
  // When more than MaxLines lines would remain, the first CutLines go.
  //
  // Raises "DoRotation: не задано имя файла." for an empty name, "Не удается
  // создать файл с именем: %s. Ошибка: ..." when the file cannot be opened,
  // "Не удается записать строку: %s в файл с именем: %s. Ошибка: ..." when
  // the write falls short, and the read/write messages of the rotation.
  void WriteLine(const std::string& Text, bool AddLineBreak = true);

  const std::string& FileName() const { return FileName_; }
  int CutLines() const { return CutLines_; }
  int MaxLines() const { return MaxLines_; }
  // The cached line count; -1 until the first write counted the file.
  int64_t LineCount() const { return LineCount_; }
  // The offset just after line CutLines as last counted; -1 until found.
  int64_t CutPosition() const { return CutPosition_; }

 private:
  int64_t CheckRotation(int fd);
  void Rotate(int fd);

  std::string FileName_;
  int CutLines_;
  int MaxLines_;
  int64_t LineCount_ = -1;
  int64_t CutPosition_ = -1;
};

}  // namespace ztv

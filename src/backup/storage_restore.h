// Directory images in compound files: every sub-storage a directory, every
// stream a file, all named by the decimal ID of their record in the index
// held in the root's stream "0" (fields ID and Name, Name the entry's own
// name). Update packages are unpacked from this form, and older backups were
// kept in it.
#pragma once

#include <string>

namespace ztv {

// True when the file is a compound file.
bool IsStorageFile(const std::string& fileName);

// Recreates the tree of `fileName` inside `dir`. With deleteExtra, files and
// directories in `dir` that the image does not hold are deleted (names
// beginning with "." never are).
void RestoreDirFromStorage(const std::string& fileName, const std::string& dir, bool deleteExtra);

// Reads a directory image the way RestoreDirFromStorage does (index, every
// element looked up, every name checked, every stream read through) without
// writing anything; raises the error the restore would raise.
void CheckStorageImage(const std::string& fileName);

// Writes `dir` as a directory image (for the package tool and the tests).
void PackDirToStorage(const std::string& dir, const std::string& fileName);

}  // namespace ztv

#include "ops/base_list.h"

#include "core/errors.h"
#include "core/text.h"
#include "multiregistry/multiregistry_client.h"

namespace ztv {

void CreateBaseList(TStaticSet& list) {
  if (list.Active()) list.Close();
  list.ClearFields();
  list.AddField("ChangeFlag", TFieldType::Integer);
  list.AddField("ID", TFieldType::Integer);
  list.AddField("Name", TFieldType::String, kBaseListTextLength);
  list.AddField("DBPath", TFieldType::String, kBaseListTextLength);
  list.Open();
}

namespace {

// The list's text fields hold 255 characters; a longer text would be cut,
// and a cut path could name another file.
const std::string& Fitting(const std::string& text, const char* what, const std::string& name) {
  if (DecodeUtf8(text).size() > kBaseListTextLength)
    throw Exception(Format("%s базы \"%s\" длиннее %d символов", what, name, static_cast<int>(kBaseListTextLength)));
  return text;
}

}  // namespace

void VisitBaseList(const std::string& imdFileName, const std::function<void(const TBaseEntry&)>& visit,
                   const std::string& modulePath) {
  TMultiRegistry registry = TMultiRegistry::Create(modulePath);
  registry.LoadFile(imdFileName);
  TRegistryKeyRef root = registry.GetRoot(0);
  TRegistryKeyRef bases = root.OpenKey(kBaseListKey);
  const std::vector<std::string> names = SplitLines(bases.GetSubKeyNames());
  for (const std::string& name : names) {
    TRegistryKeyRef node = root.OpenKey(Format("%s\\%s", kBaseListKey, name));
    TBaseEntry entry;
    entry.Name = Fitting(name, "Имя", name);
    entry.ID = node.GetValue(kBaseIdValue).AsInteger();
    entry.DBPath = Fitting(node.GetValue(kBasePathValue).AsString(), "Путь", name);
    visit(entry);
  }
}

void ReadBaseList(TStaticSet& list, const std::string& imdFileName, const std::string& modulePath) {
  VisitBaseList(
      imdFileName,
      [&list](const TBaseEntry& entry) {
        list.Append();
        try {
          list.FieldByName("ChangeFlag").SetAsInteger(0);
          list.FieldByName("Name").SetAsString(entry.Name);
          list.FieldByName("ID").SetAsInteger(entry.ID);
          list.FieldByName("DBPath").SetAsString(entry.DBPath);
          list.Post();
        } catch (...) {
          list.Cancel();
          throw;
        }
      },
      modulePath);
}

std::string LocalDatabasePath(const std::string& path) {
  // A Windows-form path: the drive letter before the first ":\".
  const size_t drive = path.find(":\\");
  if (drive != std::string::npos) {
    // Positions counted from 1: absent, 1 or 2 leave the path as it is.
    if (drive + 1 <= 2) return path;
    return path.substr(drive - 1);
  }
  // This platform's form: "HOST:/abs/path" (also "HOST/PORT:/abs/path").
  // A one-letter prefix is a drive letter, and a path that begins with "/"
  // has no host.
  const size_t hostEnd = path.find(":/");
  if (hostEnd != std::string::npos && hostEnd > 1 && path[0] != '/') return path.substr(hostEnd + 1);
  return path;
}

}  // namespace ztv

// LoadFile of the MultiRegistry component on arbitrary bytes, then a walk
// over every key through the interfaces. A store that loads is saved and
// read again: the second reading must succeed and give the same bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "multiregistry/component.h"
#include "multiregistry/registry_store.h"

using namespace ztv;
using namespace ztv::mreg;

namespace {

struct Text : IStringResult {
  std::string value;
  void Assign(const char* data, size_t size) override { value.assign(data, size); }
};

std::string SplitFirst(std::string& rest) {
  const size_t end = rest.find("\r\n");
  std::string line = rest.substr(0, end);
  rest = end == std::string::npos ? std::string() : rest.substr(end + 2);
  return line;
}

void Walk(IRegistryKey* key, int depth) {
  if (depth > TRegistryStore::kMaxDepth + 1) abort();  // deeper than a store may be
  Text names;
  if (Failed(key->GetSubKeyNames(&names))) return;
  for (const char* valueName : {"Идентификатор", "ПутьКБазе", ""}) {
    IRegistryValue* value = nullptr;
    if (Failed(key->GetValue(valueName, &value))) continue;
    int32_t number = 0;
    (void)value->AsInteger(&number);
    Text text;
    (void)value->AsString(&text);
    value->Release();
  }
  std::string rest = names.value;
  while (!rest.empty()) {
    const std::string name = SplitFirst(rest);
    IRegistryKey* child = nullptr;
    if (Failed(key->OpenKey(name.c_str(), &child))) abort();  // every listed child opens
    Walk(child, depth + 1);
    child->Release();
  }
}

std::string TempName() {
  static std::string name = [] {
    std::string n = "/tmp/multiregistry_fuzz.XXXXXX";
    const int fd = ::mkstemp(n.data());
    if (fd >= 0) ::close(fd);
    return n;
  }();
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string file = TempName();
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }

  void* object = nullptr;
  if (Failed(CreateInstance(kClsidMultiRegistry, kIidMultiRegistry, &object))) abort();
  auto* registry = static_cast<IMultiRegistry*>(object);
  if (!Failed(registry->LoadFile(file.c_str()))) {
    IRegistryKey* root = nullptr;
    if (Failed(registry->GetRoot(0, &root))) abort();
    Walk(root, 0);
    root->Release();

    try {
      const std::string saved = TRegistryStore::LoadFromBytes(bytes, "fuzz")->SaveToBytes();
      const std::string again = TRegistryStore::LoadFromBytes(saved, "fuzz")->SaveToBytes();
      if (saved != again) abort();
    } catch (...) {
      abort();  // what loaded once must save and load again
    }
  } else {
    Text error;
    GetErrorInfo(&error);
    if (error.value.empty()) abort();  // every refusal says why
  }
  registry->Release();
  return 0;
}

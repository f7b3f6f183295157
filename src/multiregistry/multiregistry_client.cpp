#include "multiregistry/multiregistry_client.h"

#include <dlfcn.h>

#include <cstdlib>

#include "core/errors.h"
#include "platform/module_path.h"

namespace ztv {
namespace mreg_detail {

// One loaded copy of the module with its two entry points.
class Module {
 public:
  explicit Module(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      const char* text = ::dlerror();
      throw Exception(text ? text : ("не удается загрузить " + path));
    }
    create_ = reinterpret_cast<mreg::CreateInstanceFn>(::dlsym(handle_, mreg::kCreateInstanceSymbol));
    errorInfo_ = reinterpret_cast<mreg::GetErrorInfoFn>(::dlsym(handle_, mreg::kGetErrorInfoSymbol));
    if (!create_ || !errorInfo_) {
      ::dlclose(handle_);
      throw Exception(Format("%s: нет функции %s", path, create_ ? mreg::kGetErrorInfoSymbol : mreg::kCreateInstanceSymbol));
    }
  }
  ~Module() { ::dlclose(handle_); }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  mreg::HResult Create(const char* clsid, const char* iid, void** object) const { return create_(clsid, iid, object); }

  // The component's text of its last failure on this thread, or the code.
  std::string ErrorText(mreg::HResult hr) const {
    struct Text : mreg::IStringResult {
      std::string value;
      void Assign(const char* data, size_t size) override { value.assign(data, size); }
    } text;
    if (mreg::Failed(errorInfo_(&text)) || text.value.empty())
      return Format("Ошибка MultiRegistry, код %08X", static_cast<unsigned>(hr));
    return text.value;
  }

 private:
  void* handle_ = nullptr;
  mreg::CreateInstanceFn create_ = nullptr;
  mreg::GetErrorInfoFn errorInfo_ = nullptr;
};

}  // namespace mreg_detail

namespace {

struct StringOut : mreg::IStringResult {
  std::string value;
  void Assign(const char* data, size_t size) override { value.assign(data, size); }
};

void Check(const std::shared_ptr<mreg_detail::Module>& module, mreg::HResult hr) {
  if (mreg::Failed(hr)) throw Exception(module->ErrorText(hr));
}

}  // namespace

std::string MultiRegistryModulePath() {
  if (const char* named = std::getenv(kMultiRegistryModuleVariable); named && *named) return named;
  return FindModule(mreg::kModuleFileName);
}

TMultiRegistry TMultiRegistry::Create(const std::string& modulePath) {
  return Create(modulePath, mreg::kClsidMultiRegistry, mreg::kIidMultiRegistry);
}

TMultiRegistry TMultiRegistry::Create(const std::string& modulePath, const char* clsid, const char* iid) {
  try {
    std::string path = modulePath.empty() ? MultiRegistryModulePath() : modulePath;
    if (path.empty()) {
      std::string dirs;
      for (const std::string& dir : ModuleSearchDirectories()) dirs += (dirs.empty() ? "" : ", ") + dir;
      throw Exception(Format("модуль %s не найден (%s)", mreg::kModuleFileName, dirs));
    }
    auto module = std::make_shared<mreg_detail::Module>(path);
    void* object = nullptr;
    const mreg::HResult hr = module->Create(clsid, iid, &object);
    if (mreg::Failed(hr) || !object) throw Exception(module->ErrorText(mreg::Failed(hr) ? hr : mreg::kNoInterface));
    return TMultiRegistry(mreg_detail::Ref<mreg::IMultiRegistry>(module, static_cast<mreg::IMultiRegistry*>(object)));
  } catch (const Exception& e) {
    throw Exception(Format("Ошибка создания MultiRegistry [%s]", std::string(e.what())));
  }
}

void TMultiRegistry::LoadFile(const std::string& fileName) const {
  Check(ref_.module(), ref_.get()->LoadFile(fileName.c_str()));
}

TRegistryKeyRef TMultiRegistry::GetRoot(int32_t index) const {
  mreg::IRegistryKey* key = nullptr;
  Check(ref_.module(), ref_.get()->GetRoot(index, &key));
  return TRegistryKeyRef(mreg_detail::Ref<mreg::IRegistryKey>(ref_.module(), key));
}

TRegistryKeyRef TRegistryKeyRef::OpenKey(const std::string& path) const {
  mreg::IRegistryKey* key = nullptr;
  Check(ref_.module(), ref_.get()->OpenKey(path.c_str(), &key));
  return TRegistryKeyRef(mreg_detail::Ref<mreg::IRegistryKey>(ref_.module(), key));
}

std::string TRegistryKeyRef::GetSubKeyNames() const {
  StringOut out;
  Check(ref_.module(), ref_.get()->GetSubKeyNames(&out));
  return out.value;
}

TRegistryValueRef TRegistryKeyRef::GetValue(const std::string& name) const {
  mreg::IRegistryValue* value = nullptr;
  Check(ref_.module(), ref_.get()->GetValue(name.c_str(), &value));
  return TRegistryValueRef(mreg_detail::Ref<mreg::IRegistryValue>(ref_.module(), value));
}

int32_t TRegistryValueRef::AsInteger() const {
  int32_t value = 0;
  Check(ref_.module(), ref_.get()->AsInteger(&value));
  return value;
}

std::string TRegistryValueRef::AsString() const {
  StringOut out;
  Check(ref_.module(), ref_.get()->AsString(&out));
  return out.value;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return lines;
}

}  // namespace ztv

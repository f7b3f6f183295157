// The program's side of the MultiRegistry component: loads the run-time
// module, creates the component through its factory and wraps the
// interfaces so that every failed call raises an Exception carrying the
// component's own text.
//
//   TMultiRegistry reg = TMultiRegistry::Create();   // "Ошибка создания MultiRegistry [...]"
//   reg.LoadFile("/opt/ztv/ocx/IMD.DAT");
//   TRegistryKeyRef root = reg.GetRoot(0);
//   TRegistryKeyRef list = root.OpenKey("ЗТВ\\Доступные базы");
//   for (const std::string& name : SplitLines(list.GetSubKeyNames())) ...
//
// The module is "ztv-multiregistry.so", looked for where run-time modules
// live (platform/module_path.h), unless ZTV_MULTIREGISTRY_MODULE names a
// file. Every wrapper keeps the module loaded while it lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "multiregistry/multiregistry.h"

namespace ztv {

inline constexpr const char* kMultiRegistryModuleVariable = "ZTV_MULTIREGISTRY_MODULE";

namespace mreg_detail {
class Module;

// Holds one reference of an interface and the module it came from.
template <typename T>
class Ref {
 public:
  Ref() = default;
  Ref(std::shared_ptr<Module> module, T* object) : module_(std::move(module)), object_(object) {}
  Ref(const Ref& other) : module_(other.module_), object_(other.object_) {
    if (object_) object_->AddRef();
  }
  Ref(Ref&& other) noexcept : module_(std::move(other.module_)), object_(other.object_) { other.object_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(module_, other.module_);
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() {
    if (object_) object_->Release();
  }
  T* get() const { return object_; }
  const std::shared_ptr<Module>& module() const { return module_; }

 private:
  std::shared_ptr<Module> module_;  // declared first: unloaded after the release
  T* object_ = nullptr;
};
}  // namespace mreg_detail

class TRegistryValueRef {
 public:
  int32_t AsInteger() const;
  std::string AsString() const;

 private:
  friend class TRegistryKeyRef;
  explicit TRegistryValueRef(mreg_detail::Ref<mreg::IRegistryValue> ref) : ref_(std::move(ref)) {}
  mreg_detail::Ref<mreg::IRegistryValue> ref_;
};

class TRegistryKeyRef {
 public:
  TRegistryKeyRef OpenKey(const std::string& path) const;
  // The children's names, one per line.
  std::string GetSubKeyNames() const;
  TRegistryValueRef GetValue(const std::string& name) const;

 private:
  friend class TMultiRegistry;
  explicit TRegistryKeyRef(mreg_detail::Ref<mreg::IRegistryKey> ref) : ref_(std::move(ref)) {}
  mreg_detail::Ref<mreg::IRegistryKey> ref_;
};

class TMultiRegistry {
 public:
  // Loads the module (`modulePath`, else the variable's file, else the one
  // found beside the program) and creates the component by its class and
  // interface identifiers. Any failure raises "Ошибка создания
  // MultiRegistry [%s]" with the loader's or the factory's text.
  static TMultiRegistry Create(const std::string& modulePath = {});
  // The same with other identifiers (for checking the factory's refusal).
  static TMultiRegistry Create(const std::string& modulePath, const char* clsid, const char* iid);

  void LoadFile(const std::string& fileName) const;
  TRegistryKeyRef GetRoot(int32_t index) const;

 private:
  explicit TMultiRegistry(mreg_detail::Ref<mreg::IMultiRegistry> ref) : ref_(std::move(ref)) {}
  mreg_detail::Ref<mreg::IMultiRegistry> ref_;
};

// The module file the component is created from by default ("" when none
// is found).
std::string MultiRegistryModulePath();

// Splits a text into lines (CR LF, LF or CR); no empty last line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace ztv

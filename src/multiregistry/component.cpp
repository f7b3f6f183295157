#include "multiregistry/component.h"

#include <atomic>
#include <charconv>
#include <memory>
#include <new>
#include <string>

#include "core/errors.h"
#include "core/text.h"
#include "multiregistry/registry_store.h"

namespace ztv::mreg {
namespace {

thread_local std::string tLastError;

// The objects are reference counted across the binary interface: each is
// created here with one reference and deletes itself at its last Release.
template <typename T, typename... Args>
T* NewObject(Args&&... args) {
  return std::make_unique<T>(std::forward<Args>(args)...).release();
}

HResult Fail(HResult code, std::string text) {
  tLastError = std::move(text);
  return code;
}

bool SameId(const char* a, const char* b) { return a && SameText(a, b); }

void Put(IStringResult* out, const std::string& text) { out->Assign(text.data(), text.size()); }

// Runs a method body, turning every error into a result code with its text.
template <typename F>
HResult Guard(F body) {
  try {
    return body();
  } catch (const Exception& e) {
    return Fail(kFail, e.what());
  } catch (const std::bad_alloc&) {
    return Fail(kOutOfMemory, "Недостаточно памяти");
  } catch (const std::exception& e) {
    return Fail(kFail, e.what());
  }
}

// Reference counting shared by the three object kinds.
template <typename Interface>
class RefCounted : public Interface {
 public:
  virtual ~RefCounted() = default;
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    const uint32_t left = --refs_;
    if (left == 0) std::unique_ptr<RefCounted>{this};  // the last reference ends the object
    return left;
  }
  HResult QueryInterface(const char* iid, void** object) override {
    if (!object) return Fail(kPointer, "Не указан адрес результата");
    *object = nullptr;
    if (SameId(iid, kIidUnknown) || SameId(iid, OwnIid())) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return kOk;
    }
    return Fail(kNoInterface, Format("Интерфейс %s не поддерживается", iid ? iid : ""));
  }

 protected:
  virtual const char* OwnIid() const = 0;

 private:
  std::atomic<uint32_t> refs_{1};
};

constexpr const char* kIidRegistryKey = "{3B1F6D52-5C2E-4E0B-9A41-7E2C51D0A001}";
constexpr const char* kIidRegistryValue = "{3B1F6D52-5C2E-4E0B-9A41-7E2C51D0A002}";

class Value final : public RefCounted<IRegistryValue> {
 public:
  Value(std::shared_ptr<const TRegistryStore> store, const TRegistryValueData* data)
      : store_(std::move(store)), data_(data) {}

  HResult AsInteger(int32_t* value) override {
    if (!value) return Fail(kPointer, "Не указан адрес результата");
    return Guard([&] {
      if (!data_->isString) {
        *value = data_->intValue;
        return kOk;
      }
      const std::string text = Trim(data_->strValue);
      int32_t parsed = 0;
      const char* first = text.data();
      const char* last = first + text.size();
      auto [end, ec] = std::from_chars(first, last, parsed);
      if (text.empty() || ec != std::errc() || end != last)
        return Fail(kFail, Format("Значение \"%s\" не является целым числом: \"%s\"", data_->name, data_->strValue));
      *value = parsed;
      return kOk;
    });
  }

  HResult AsString(IStringResult* value) override {
    if (!value) return Fail(kPointer, "Не указан адрес результата");
    return Guard([&] {
      Put(value, data_->isString ? data_->strValue : std::to_string(data_->intValue));
      return kOk;
    });
  }

 protected:
  const char* OwnIid() const override { return kIidRegistryValue; }

 private:
  std::shared_ptr<const TRegistryStore> store_;  // keeps the value's tree alive
  const TRegistryValueData* data_;
};

class Key final : public RefCounted<IRegistryKey> {
 public:
  Key(std::shared_ptr<const TRegistryStore> store, const TRegistryNode* node)
      : store_(std::move(store)), node_(node) {}

  HResult OpenKey(const char* path, IRegistryKey** key) override {
    if (!key) return Fail(kPointer, "Не указан адрес результата");
    *key = nullptr;
    if (!path) return Fail(kInvalidArg, "Не указан путь ключа");
    return Guard([&] {
      const TRegistryNode* found = TRegistryStore::FindKey(*node_, path);
      if (!found) {
        const std::string base = node_->Path();
        return Fail(kFail, Format("Ключ \"%s\" не найден", base.empty() ? std::string(path) : base + "\\" + path));
      }
      *key = NewObject<Key>(store_, found);
      return kOk;
    });
  }

  HResult GetSubKeyNames(IStringResult* names) override {
    if (!names) return Fail(kPointer, "Не указан адрес результата");
    return Guard([&] {
      std::string text;
      for (const auto& child : node_->children) {
        if (!text.empty()) text += "\r\n";
        text += child->name;
      }
      Put(names, text);
      return kOk;
    });
  }

  HResult GetValue(const char* name, IRegistryValue** value) override {
    if (!value) return Fail(kPointer, "Не указан адрес результата");
    *value = nullptr;
    if (!name) return Fail(kInvalidArg, "Не указано имя значения");
    return Guard([&] {
      const TRegistryValueData* data = node_->Value(name);
      if (!data) return Fail(kFail, Format("Значение \"%s\" ключа \"%s\" не найдено", std::string(name), node_->Path()));
      *value = NewObject<Value>(store_, data);
      return kOk;
    });
  }

 protected:
  const char* OwnIid() const override { return kIidRegistryKey; }

 private:
  std::shared_ptr<const TRegistryStore> store_;
  const TRegistryNode* node_;
};

class Registry final : public RefCounted<IMultiRegistry> {
 public:
  HResult LoadFile(const char* fileName) override {
    if (!fileName) return Fail(kInvalidArg, "Не указано имя файла");
    return Guard([&] {
      // Keys handed out before keep the tree they were opened in.
      store_ = TRegistryStore::LoadFromFile(fileName);
      return kOk;
    });
  }

  HResult GetRoot(int32_t index, IRegistryKey** key) override {
    if (!key) return Fail(kPointer, "Не указан адрес результата");
    *key = nullptr;
    if (!store_) return Fail(kFail, "Файл реестра не загружен");
    if (index != 0) return Fail(kInvalidArg, Format("Нет корня с номером %d", index));
    return Guard([&] {
      *key = NewObject<Key>(store_, &store_->Root());
      return kOk;
    });
  }

 protected:
  const char* OwnIid() const override { return kIidMultiRegistry; }

 private:
  std::shared_ptr<const TRegistryStore> store_;
};

}  // namespace

HResult CreateInstance(const char* clsid, const char* iid, void** object) {
  if (!object) return Fail(kPointer, "Не указан адрес результата");
  *object = nullptr;
  if (!SameId(clsid, kClsidMultiRegistry))
    return Fail(kClassNotAvailable, Format("Класс %s не зарегистрирован", clsid ? clsid : ""));
  return Guard([&] {
    auto* registry = NewObject<Registry>();
    const HResult hr = registry->QueryInterface(iid, object);
    registry->Release();
    return hr;
  });
}

HResult GetErrorInfo(IStringResult* text) {
  if (!text) return kPointer;
  Put(text, tLastError);
  return kOk;
}

}  // namespace ztv::mreg

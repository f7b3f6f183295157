#include "formats/imd/dataset.h"

#include <algorithm>
#include <limits>

#include "core/errors.h"
#include "core/text.h"

namespace ztv {

namespace {

const char* const kFieldNotFound = "Поле '%s' не найдено";
const char* const kDataSetClosed = "Невозможно выполнить операцию на закрытом наборе данных";
const char* const kDataSetOpen = "Невозможно выполнить операцию на открытом наборе данных";
const char* const kNotEditing = "Набор данных не находится в режиме редактирования или вставки";
const char* const kReadOnlyDataSet = "Невозможно изменить набор данных только для чтения";
const char* const kFieldReadOnly = "Поле '%s' нельзя изменять";
const char* const kFieldRequired = "Поле '%s' должно иметь значение";
const char* const kDuplicateField = "Повторяющееся имя поля '%s'";
const char* const kEmptyFieldName = "Имя поля не может быть пустым";
const char* const kInvalidFieldSize = "Недопустимый размер поля '%s': %d";
const char* const kInvalidFieldType = "Недопустимый тип поля '%s': %d";
const char* const kEmptyDataSet = "Невозможно выполнить операцию на пустом наборе данных";
const char* const kParamNotFound = "Параметр '%s' не найден";
const char* const kKeyValueCount = "Число значений (%d) не совпадает с числом полей (%d)";

}  // namespace

// A stream whose content becomes a field's value: on Flush, when the
// dataset posts, or when the stream is destroyed during the edit.
class TBlobWriteStream : public TZVMemoryStream {
 public:
  TBlobWriteStream(TDataSet* owner, int field) : owner_(owner), field_(field) {
    owner_->blobWriters_.push_back(this);
  }
  ~TBlobWriteStream() override {
    try {
      Flush();
    } catch (...) {
      // The value stays as it was; a destructor must not throw.
    }
    Detach();
  }
  void Flush() {
    if (!owner_ || !dirty_) return;
    if (owner_->State() != TDataSetState::Edit && owner_->State() != TDataSetState::Insert) return;
    owner_->SetValue(owner_->Fields(field_), AsString());
    dirty_ = false;
  }
  void Detach() {
    if (!owner_) return;
    auto& list = owner_->blobWriters_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    owner_ = nullptr;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    dirty_ = true;
    return TZVMemoryStream::Write(buffer, count);
  }
  void SetSize(int64_t size) override {
    dirty_ = true;
    TZVMemoryStream::SetSize(size);
  }
  void MarkDirty() { dirty_ = true; }

 private:
  TDataSet* owner_;
  int field_;
  bool dirty_ = false;
};

std::vector<std::string> SplitFieldNames(std::string_view names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string part = Trim(names.substr(start, end - start));
    if (!part.empty()) out.push_back(part);
    start = end + 1;
  }
  return out;
}

// ---------------------------------------------------------------------------
// TField

uint16_t TField::Attributes() const {
  uint16_t bits = 0;
  if (readOnly_) bits |= TFieldAttributes::ReadOnly;
  if (required_) bits |= TFieldAttributes::Required;
  if (fixedChar_) bits |= TFieldAttributes::FixedChar;
  return bits;
}

void TField::SetAttributes(uint16_t bits) {
  readOnly_ = (bits & TFieldAttributes::ReadOnly) != 0;
  required_ = (bits & TFieldAttributes::Required) != 0;
  fixedChar_ = (bits & TFieldAttributes::FixedChar) != 0;
}

TNativeValue TField::Native() const { return dataSet_->GetValue(*this); }
void TField::SetNative(TNativeValue value) { dataSet_->SetValue(*this, std::move(value)); }

void TField::CheckWritable() const {
  if (readOnly_) throw Exception(Format(kFieldReadOnly, FieldName()));
}

void TField::Store(TNativeValue value) {
  CheckWritable();
  dataSet_->SetValue(*this, std::move(value));
}

bool TField::IsNull() const { return !Native().has_value(); }
std::string TField::AsString() const { return NativeAsString(shape_, Native()); }
int64_t TField::AsLargeInt() const { return NativeAsLargeInt(shape_, Native()); }
bool TField::AsBoolean() const { return NativeAsBoolean(shape_, Native()); }
double TField::AsFloat() const { return NativeAsFloat(shape_, Native()); }
TCurrency TField::AsCurrency() const { return NativeAsCurrency(shape_, Native()); }
std::string TField::AsBytes() const { return NativeAsBytes(shape_, Native()); }

int32_t TField::AsInteger() const {
  int64_t v = AsLargeInt();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    throw Exception(Format("Значение %d вне допустимого диапазона поля '%s'", v, FieldName()));
  return static_cast<int32_t>(v);
}

void TField::SetAsString(std::string_view value) {
  CheckWritable();
  Store(NativeFromString(shape_, value));
}
void TField::SetAsInteger(int32_t value) { SetAsLargeInt(value); }
void TField::SetAsLargeInt(int64_t value) {
  CheckWritable();
  Store(NativeFromLargeInt(shape_, value));
}
void TField::SetAsBoolean(bool value) {
  CheckWritable();
  Store(NativeFromBoolean(shape_, value));
}
void TField::SetAsFloat(double value) {
  CheckWritable();
  Store(NativeFromFloat(shape_, value));
}
void TField::SetAsCurrency(TCurrency value) {
  CheckWritable();
  Store(NativeFromCurrency(shape_, value));
}
void TField::SetAsBytes(std::string_view value) {
  CheckWritable();
  Store(NativeFromBytes(shape_, value));
}
void TField::SetValue(const TVarValue& value) {
  CheckWritable();
  Store(NativeFromVar(shape_, value));
}
void TField::Clear() { Store(std::nullopt); }

std::unique_ptr<TZVStream> TField::CreateBlobStream(TBlobStreamMode mode) {
  if (mode == TBlobStreamMode::Read) {
    auto s = std::make_unique<TZVMemoryStream>(AsBytes());
    return s;
  }
  CheckWritable();
  if (dataSet_->State() != TDataSetState::Edit && dataSet_->State() != TDataSetState::Insert)
    throw Exception(kNotEditing);
  auto s = std::make_unique<TBlobWriteStream>(dataSet_, index_);
  if (mode == TBlobStreamMode::ReadWrite) {
    std::string current = AsBytes();
    s->WriteString(current);
    s->SetPosition(0);
  } else {
    s->MarkDirty();  // writing starts from an empty value
  }
  return s;
}

void TField::LoadFromStream(TZVStream& source) {
  std::string bytes;
  char buf[65536];
  for (;;) {
    int64_t n = source.Read(buf, sizeof buf);
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  SetAsBytes(bytes);
}

void TField::SaveToStream(TZVStream& dest) const { dest.WriteString(AsBytes()); }

// ---------------------------------------------------------------------------
// TParam / TParams

TValueShape TParam::Shape() const {
  TValueShape s;
  s.Type = dataType_;
  s.Name = name_;
  if (IsTextType(dataType_)) {
    s.Size = std::numeric_limits<int32_t>::max();
  } else if (!HasIntrinsicSize(dataType_)) {
    int64_t have = value_ ? static_cast<int64_t>(value_->size()) : 0;
    s.Size = dataType_ == TFieldType::VarBytes ? std::max<int64_t>(have - 2, 0) : have;
  }
  s.DataSize = DataSizeOf(dataType_, s.Size);
  return s;
}

void TParam::SetAsString(std::string_view v) {
  value_ = IsTextType(dataType_) ? std::string(v) : NativeFromString(Shape(), v);
}
void TParam::SetAsInteger(int64_t v) { value_ = NativeFromLargeInt(Shape(), v); }
void TParam::SetAsBoolean(bool v) { value_ = NativeFromBoolean(Shape(), v); }
void TParam::SetAsFloat(double v) { value_ = NativeFromFloat(Shape(), v); }
void TParam::SetAsCurrency(TCurrency v) { value_ = NativeFromCurrency(Shape(), v); }
void TParam::SetAsBytes(std::string_view v) {
  if (dataType_ == TFieldType::VarBytes) {
    std::string n;
    PutLE(n, std::min<size_t>(v.size(), 65535), 2);
    n.append(v.substr(0, 65535));
    value_ = n;
  } else if (KindOf(dataType_) == TValueKind::Bytes || IsTextType(dataType_)) {
    value_ = std::string(v);
  } else {
    value_ = NativeFromBytes(Shape(), v);
  }
}

TParam& TParams::Add(std::string name, TFieldType dataType, TParamType paramType) {
  items_.emplace_back(std::move(name), dataType, paramType);
  return items_.back();
}

TParam* TParams::FindParam(std::string_view name) {
  for (auto& p : items_)
    if (SameText(p.Name(), name)) return &p;
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) {
  TParam* p = FindParam(name);
  if (!p) throw Exception(Format(kParamNotFound, std::string(name)));
  return *p;
}

// ---------------------------------------------------------------------------
// TDataSet

TDataSet::~TDataSet() {
  for (auto* w : std::vector<TBlobWriteStream*>(blobWriters_)) w->Detach();
}

void TDataSet::CheckActive() const {
  if (state_ == TDataSetState::Inactive) throw Exception(kDataSetClosed);
}

void TDataSet::CheckInactive() const {
  if (state_ != TDataSetState::Inactive) throw Exception(kDataSetOpen);
}

TField& TDataSet::AddField(std::string_view name, TFieldType type, int64_t size, bool required) {
  CheckInactive();
  std::string n(name);
  if (Trim(n).empty()) throw Exception(kEmptyFieldName);
  int code = static_cast<int>(type);
  if (code <= 0 || code > kMaxFieldTypeCode) throw Exception(Format(kInvalidFieldType, n, code));
  if (FindField(n)) throw Exception(Format(kDuplicateField, n));
  TValueShape shape = TValueShape::Of(type, size, n);
  if (shape.Size < 0 || shape.DataSize < 0 || shape.DataSize > std::numeric_limits<int32_t>::max())
    throw Exception(Format(kInvalidFieldSize, n, size));
  fields_.push_back(std::unique_ptr<TField>(new TField(this, static_cast<int>(fields_.size()), std::move(shape))));
  fields_.back()->SetRequired(required);
  FieldsChanged();
  return *fields_.back();
}

void TDataSet::ClearFields() {
  CheckInactive();
  fields_.clear();
  FieldsChanged();
}

TField* TDataSet::FindField(std::string_view name) const {
  for (auto& f : fields_)
    if (SameText(f->FieldName(), name)) return f.get();
  return nullptr;
}

TField& TDataSet::FieldByName(std::string_view name) const {
  TField* f = FindField(name);
  if (!f) throw Exception(Format(kFieldNotFound, std::string(name)));
  return *f;
}

std::vector<TField*> TDataSet::FieldList(std::string_view names) const {
  std::vector<TField*> out;
  if (!names.empty() && names.find(';') == std::string_view::npos && names.front() > ' ' && names.back() > ' ') {
    out.push_back(&FieldByName(names));  // one name, nothing to split
    return out;
  }
  for (const auto& n : SplitFieldNames(names)) out.push_back(&FieldByName(n));
  return out;
}

void TDataSet::Open() {
  if (Active()) return;
  InternalOpen();
  state_ = TDataSetState::Browse;
  First();
}

void TDataSet::Close() {
  if (!Active()) return;
  for (auto* w : std::vector<TBlobWriteStream*>(blobWriters_)) w->Detach();
  editBuffer_.clear();
  state_ = TDataSetState::Inactive;
  bof_ = eof_ = true;
  InternalClose();
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) Post();
}

void TDataSet::Resync() {
  if (InternalCurrent() < 0) {
    bof_ = eof_ = true;
  } else {
    bof_ = eof_ = false;
  }
}

void TDataSet::First() {
  CheckBrowseMode();
  bool has = InternalGoto(0);
  bof_ = true;
  eof_ = !has;
}

void TDataSet::Last() {
  CheckBrowseMode();
  int n = InternalRecordCount();
  bool has = n > 0 && InternalGoto(n - 1);
  eof_ = true;
  bof_ = !has;
}

void TDataSet::Next() {
  CheckBrowseMode();
  if (eof_) return;
  int cur = InternalCurrent();
  if (cur >= 0 && InternalHasRecordAfter(cur) && InternalGoto(cur + 1)) {
    bof_ = false;
  } else {
    eof_ = true;
  }
}

void TDataSet::Prior() {
  CheckBrowseMode();
  if (bof_) return;
  int cur = InternalCurrent();
  if (cur > 0 && InternalGoto(cur - 1)) {
    eof_ = false;
  } else {
    bof_ = true;
  }
}

bool TDataSet::IsEmpty() {
  CheckActive();
  return state_ != TDataSetState::Insert && InternalCurrent() < 0;
}

int TDataSet::RecordCount() {
  CheckActive();
  return InternalRecordCount();
}

int TDataSet::RecNo() {
  CheckActive();
  return InternalCurrent() + 1;
}

void TDataSet::SetRecNo(int recNo) {
  CheckBrowseMode();
  int n = InternalRecordCount();
  if (n == 0) return;
  InternalGoto(std::clamp(recNo, 1, n) - 1);
  bof_ = eof_ = false;
}

bool TDataSet::ValueMatches(const TField& field, const TNativeValue& have, const TNativeValue& want,
                            const TVarValue& raw, TLocateOptions options) {
  if (raw.IsNull()) return !have.has_value();
  if (!have || !want) return false;
  if (KindOf(field.DataType()) == TValueKind::Text && (options.CaseInsensitive || options.PartialKey)) {
    std::string h = options.CaseInsensitive ? UpperCase(*have) : *have;
    std::string w = options.CaseInsensitive ? UpperCase(*want) : *want;
    return options.PartialKey ? h.compare(0, w.size(), w) == 0 && h.size() >= w.size() : h == w;
  }
  return CompareNative(field.Shape(), *have, *want) == 0;
}

bool TDataSet::InternalLocate(const std::vector<TField*>& fields, const std::vector<TNativeValue>& values,
                              const TVarValues& raw, TLocateOptions options) {
  int saved = InternalCurrent();
  for (int i = 0; i == 0 || InternalHasRecordAfter(i - 1); ++i) {
    if (!InternalGoto(i)) break;
    bool all = true;
    for (size_t k = 0; k < fields.size() && all; ++k)
      all = ValueMatches(*fields[k], InternalGetValue(fields[k]->Index()), values[k], raw[k], options);
    if (all) return true;
  }
  if (saved >= 0) InternalGoto(saved);
  return false;
}

bool TDataSet::Locate(std::string_view keyFields, const TVarValues& values, TLocateOptions options) {
  CheckBrowseMode();
  std::vector<TField*> fields = FieldList(keyFields);
  if (fields.size() != values.size() || fields.empty())
    throw Exception(Format(kKeyValueCount, static_cast<int>(values.size()), static_cast<int>(fields.size())));
  std::vector<TNativeValue> natives;
  for (size_t k = 0; k < fields.size(); ++k) {
    try {
      TValueShape shape = fields[k]->Shape();
      // Texts are compared whole: the declared size does not cut the value looked for.
      if (IsTextType(shape.Type)) shape.Size = std::numeric_limits<int32_t>::max();
      natives.push_back(NativeFromVar(shape, values[k]));
    } catch (const Exception&) {
      return false;  // a value the field cannot hold matches no record
    }
  }
  if (InternalCurrent() < 0) return false;
  if (!InternalLocate(fields, natives, values, options)) return false;
  bof_ = eof_ = false;
  return true;
}

void TDataSet::Append() {
  CheckActive();
  if (!CanModify()) throw Exception(kReadOnlyDataSet);
  CheckBrowseMode();
  savedPosition_ = InternalCurrent();
  savedBof_ = bof_;
  savedEof_ = eof_;
  editBuffer_.assign(fields_.size(), std::nullopt);
  state_ = TDataSetState::Insert;
}

void TDataSet::Edit() {
  CheckActive();
  if (!CanModify()) throw Exception(kReadOnlyDataSet);
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) return;
  int cur = InternalCurrent();
  if (cur < 0) throw Exception(kEmptyDataSet);
  editBuffer_.clear();
  for (size_t i = 0; i < fields_.size(); ++i) editBuffer_.push_back(InternalGetValue(static_cast<int>(i)));
  state_ = TDataSetState::Edit;
}

void TDataSet::Post() {
  if (state_ != TDataSetState::Edit && state_ != TDataSetState::Insert) throw Exception(kNotEditing);
  for (auto* w : std::vector<TBlobWriteStream*>(blobWriters_)) w->Flush();
  for (auto& f : fields_)
    if (f->Required() && f->FieldKind() == TFieldKind::Data && !editBuffer_[static_cast<size_t>(f->Index())])
      throw Exception(Format(kFieldRequired, f->FieldName()));
  bool inserting = state_ == TDataSetState::Insert;
  RecordValues values = std::move(editBuffer_);
  editBuffer_.clear();
  for (auto* w : std::vector<TBlobWriteStream*>(blobWriters_)) w->Detach();
  state_ = TDataSetState::Browse;
  bool visible = InternalPost(inserting, std::move(values));
  if (visible) {
    bof_ = eof_ = false;
  } else {
    if (inserting && savedPosition_ >= 0 && savedPosition_ < InternalRecordCount()) InternalGoto(savedPosition_);
    Resync();
  }
}

void TDataSet::Cancel() {
  if (state_ != TDataSetState::Edit && state_ != TDataSetState::Insert) return;
  for (auto* w : std::vector<TBlobWriteStream*>(blobWriters_)) w->Detach();
  bool inserting = state_ == TDataSetState::Insert;
  editBuffer_.clear();
  state_ = TDataSetState::Browse;
  if (inserting) {
    if (savedPosition_ >= 0) InternalGoto(savedPosition_);
    bof_ = savedBof_;
    eof_ = savedEof_;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (!CanModify()) throw Exception(kReadOnlyDataSet);
  if (state_ == TDataSetState::Insert) {
    Cancel();
    return;
  }
  Cancel();
  int cur = InternalCurrent();
  if (cur < 0) throw Exception(kEmptyDataSet);
  InternalDelete();
  int n = InternalRecordCount();
  if (n == 0) {
    bof_ = eof_ = true;
  } else if (cur >= n) {
    InternalGoto(n - 1);
    bof_ = false;
    eof_ = true;
  } else {
    InternalGoto(cur);
    bof_ = eof_ = false;
  }
}

TNativeValue TDataSet::GetValue(const TField& field) {
  CheckActive();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert)
    return editBuffer_.at(static_cast<size_t>(field.Index()));
  if (InternalCurrent() < 0) return std::nullopt;
  return InternalGetValue(field.Index());
}

void TDataSet::SetValue(const TField& field, TNativeValue value) {
  if (state_ != TDataSetState::Edit && state_ != TDataSetState::Insert) throw Exception(kNotEditing);
  editBuffer_.at(static_cast<size_t>(field.Index())) = std::move(value);
}

}  // namespace ztv

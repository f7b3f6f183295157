// The dataset model: fields with type codes, parameters, a current record,
// browse/edit/insert states, and the navigation the rest of the program uses.
//
// TDataSet is the abstract base; TStaticSet (static_set.h) keeps its records
// in memory, TTransporter (transporter.h) reads them from an IMD packet.
//
// Typical use:
//   TStaticSet set;
//   set.AddField("ID", TFieldType::Integer);
//   set.AddField("Name", TFieldType::String, 255);
//   set.Open();
//   set.Append();
//   set.FieldByName("ID").SetAsInteger(1);
//   set.FieldByName("Name").SetAsString("bin");
//   set.Post();
//   for (set.First(); !set.Eof(); set.Next()) ... set.FieldByName("Name").AsString() ...
//
// All failures raise ztv::Exception with the message shown to the user.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.h"
#include "formats/imd/field_types.h"

namespace ztv {

class TDataSet;
class TBlobWriteStream;

enum class TFieldKind { Data, Calculated, Lookup };

// Field attribute bits as IMD packets store them.
namespace TFieldAttributes {
constexpr uint16_t ReadOnly = 0x0002;
constexpr uint16_t Required = 0x0004;
constexpr uint16_t FixedChar = 0x0020;
}  // namespace TFieldAttributes

enum class TBlobStreamMode { Read, Write, ReadWrite };

// One column of a dataset. Owned by its dataset; reads and writes the value
// of the dataset's current record (or of the record being edited).
class TField {
 public:
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  const std::string& FieldName() const { return shape_.Name; }
  TFieldType DataType() const { return shape_.Type; }
  // Declared size: characters for text types, bytes for Bytes/VarBytes,
  // 0 for types whose size the type fixes.
  int64_t Size() const { return shape_.Size; }
  // Bytes of the native value of fixed-size types (String: Size + 1).
  int64_t DataSize() const { return shape_.DataSize; }
  const TValueShape& Shape() const { return shape_; }
  int Index() const { return index_; }
  TDataSet& DataSet() const { return *dataSet_; }
  bool IsBlob() const { return IsBlobType(shape_.Type); }

  bool Required() const { return required_; }
  void SetRequired(bool v) { required_ = v; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }
  // The string is a fixed-length one (attribute only; values are not padded).
  bool FixedChar() const { return fixedChar_; }
  void SetFixedChar(bool v) { fixedChar_ = v; }
  TFieldKind FieldKind() const { return kind_; }
  void SetFieldKind(TFieldKind k) { kind_ = k; }
  // Attribute bits in the packet's form (TFieldAttributes).
  uint16_t Attributes() const;
  void SetAttributes(uint16_t bits);

  // Value of the current record. Null reads as "", 0, false, 0.0 or empty.
  bool IsNull() const;
  std::string AsString() const;
  int32_t AsInteger() const;
  int64_t AsLargeInt() const;
  bool AsBoolean() const;
  double AsFloat() const;
  TCurrency AsCurrency() const;
  // Fixed types: the native bytes; VarBytes: the stored bytes; text and
  // blobs: the content.
  std::string AsBytes() const;

  // Setters need the dataset in Edit or Insert state and a writable field.
  // Texts longer than the declared size keep their first Size characters.
  void SetAsString(std::string_view value);
  void SetAsInteger(int32_t value);
  void SetAsLargeInt(int64_t value);
  void SetAsBoolean(bool value);
  void SetAsFloat(double value);
  void SetAsCurrency(TCurrency value);
  void SetAsBytes(std::string_view value);
  void SetValue(const TVarValue& value);
  void Clear();

  // Blob access. A Read stream holds a copy of the value; a Write or
  // ReadWrite stream stores its content into the field when it is flushed
  // or destroyed while the record is still being edited.
  std::unique_ptr<TZVStream> CreateBlobStream(TBlobStreamMode mode);
  void LoadFromStream(TZVStream& source);  // replaces the value with the rest of `source`
  void SaveToStream(TZVStream& dest) const;

  // The native value (see field_types.h); used by the packet code and by
  // copying between datasets. SetNative ignores ReadOnly.
  TNativeValue Native() const;
  void SetNative(TNativeValue value);

 private:
  friend class TDataSet;
  TField(TDataSet* owner, int index, TValueShape shape) : dataSet_(owner), index_(index), shape_(std::move(shape)) {}
  void CheckWritable() const;
  void Store(TNativeValue value);

  TDataSet* dataSet_;
  int index_;
  TValueShape shape_;
  bool required_ = false;
  bool readOnly_ = false;
  bool fixedChar_ = false;
  TFieldKind kind_ = TFieldKind::Data;
};

enum class TParamType : uint8_t { Unknown = 0, Input = 1, Output = 2, InputOutput = 3, Result = 4 };

// A named dataset parameter. Its value uses the native forms of field_types.h,
// except that fixed-size values keep the size they were given.
class TParam {
 public:
  TParam(std::string name, TFieldType dataType, TParamType paramType = TParamType::Input)
      : name_(std::move(name)), dataType_(dataType), paramType_(paramType) {}

  const std::string& Name() const { return name_; }
  TFieldType DataType() const { return dataType_; }
  void SetDataType(TFieldType t) { dataType_ = t; }
  TParamType ParamType() const { return paramType_; }
  void SetParamType(TParamType t) { paramType_ = t; }

  bool IsNull() const { return !value_.has_value(); }
  void Clear() { value_.reset(); }
  std::string AsString() const { return NativeAsString(Shape(), value_); }
  int64_t AsLargeInt() const { return NativeAsLargeInt(Shape(), value_); }
  int32_t AsInteger() const { return static_cast<int32_t>(AsLargeInt()); }
  bool AsBoolean() const { return NativeAsBoolean(Shape(), value_); }
  double AsFloat() const { return NativeAsFloat(Shape(), value_); }
  TCurrency AsCurrency() const { return NativeAsCurrency(Shape(), value_); }
  std::string AsBytes() const { return NativeAsBytes(Shape(), value_); }
  void SetAsString(std::string_view v);
  void SetAsInteger(int64_t v);
  void SetAsBoolean(bool v);
  void SetAsFloat(double v);
  void SetAsCurrency(TCurrency v);
  void SetAsBytes(std::string_view v);

  const TNativeValue& Native() const { return value_; }
  void SetNative(TNativeValue v) { value_ = std::move(v); }

 private:
  TValueShape Shape() const;
  std::string name_;
  TFieldType dataType_;
  TParamType paramType_;
  TNativeValue value_;
};

class TParams {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TParam& Items(int i) { return items_.at(static_cast<size_t>(i)); }
  const TParam& Items(int i) const { return items_.at(static_cast<size_t>(i)); }
  TParam& Add(std::string name, TFieldType dataType, TParamType paramType = TParamType::Input);
  TParam* FindParam(std::string_view name);
  // Raises "Параметр '%s' не найден" when missing.
  TParam& ParamByName(std::string_view name);
  void Clear() { items_.clear(); }

 private:
  std::vector<TParam> items_;
};

enum class TDataSetState { Inactive, Browse, Edit, Insert };

struct TLocateOptions {
  bool CaseInsensitive = false;  // texts compare ignoring case (Latin, Cyrillic)
  bool PartialKey = false;       // texts match when they begin with the value
};

// The base dataset. Fields are defined while it is closed; records are
// visited with First/Next/Last/Prior; Bof and Eof are the begin/end flags.
class TDataSet {
 public:
  TDataSet() = default;
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  // --- structure (only while closed) ---
  // Size: characters for String/FixedChar/Guid/WideString, bytes for
  // Bytes/VarBytes and the opaque types; ignored for types of fixed size.
  TField& AddField(std::string_view name, TFieldType type, int64_t size = 0, bool required = false);
  void ClearFields();
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TField& Fields(int index) const { return *fields_.at(static_cast<size_t>(index)); }
  // Case-insensitive lookup; nullptr when missing.
  TField* FindField(std::string_view name) const;
  // Raises "Поле '%s' не найдено" when missing.
  TField& FieldByName(std::string_view name) const;
  TParams& Params() { return params_; }

  // --- life cycle ---
  void Open();
  void Close();
  bool Active() const { return state_ != TDataSetState::Inactive; }
  void SetActive(bool active) { active ? Open() : Close(); }
  TDataSetState State() const { return state_; }

  // --- navigation ---
  void First();
  void Last();
  void Next();
  void Prior();
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty();
  int RecordCount();
  // 1-based number of the current record in visiting order; 0 when empty.
  int RecNo();
  // Moves to the record of that number (clamped to the existing ones).
  void SetRecNo(int recNo);

  // Moves to the first record whose fields (names separated by ";") equal
  // the values; the position is kept when none matches.
  bool Locate(std::string_view keyFields, const TVarValues& values, TLocateOptions options = {});
  bool Locate(std::string_view keyField, const TVarValue& value, TLocateOptions options = {}) {
    return Locate(keyField, TVarValues{value}, options);
  }

  // --- editing ---
  virtual bool CanModify() const { return true; }
  // Starts a new record at the end (posting a pending edit first).
  void Append();
  void Edit();
  // Stores the record being edited; required fields must have values.
  void Post();
  void Cancel();
  // Removes the current record; the cursor moves to the next one (Eof when
  // the last one went).
  void Delete();
  // Posts a pending edit or insertion.
  void CheckBrowseMode();

 protected:
  using RecordValues = std::vector<TNativeValue>;

  // Hooks for the concrete datasets. Positions are 0-based indexes in
  // visiting order. InternalGoto returns false when no such record exists.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual int InternalRecordCount() = 0;
  virtual int InternalCurrent() const = 0;  // -1 when empty
  virtual bool InternalGoto(int index) = 0;
  // True when a record exists at index + 1 (lets sequential readers avoid
  // counting everything).
  virtual bool InternalHasRecordAfter(int index) { return index + 1 < InternalRecordCount(); }
  virtual TNativeValue InternalGetValue(int field) = 0;
  // Stores a new or edited record; returns whether it can be visited (a
  // filter may hide it) and leaves the cursor on it when so.
  virtual bool InternalPost(bool inserting, RecordValues&& values) { (void)inserting; (void)values; return false; }
  virtual void InternalDelete() {}
  // Called when fields are added or cleared.
  virtual void FieldsChanged() {}
  // Generic locate over the visiting order; concrete sets may do better.
  virtual bool InternalLocate(const std::vector<TField*>& fields, const std::vector<TNativeValue>& values,
                              const TVarValues& raw, TLocateOptions options);
  // Whether the current record's field matches a locate value.
  static bool ValueMatches(const TField& field, const TNativeValue& have, const TNativeValue& want,
                           const TVarValue& raw, TLocateOptions options);

  void CheckActive() const;
  void CheckInactive() const;
  // Resets the flags after the concrete set changed its visiting order.
  void Resync();
  std::vector<TField*> FieldList(std::string_view names) const;

  TDataSetState state_ = TDataSetState::Inactive;
  bool bof_ = true;
  bool eof_ = true;

 private:
  friend class TField;
  friend class TBlobWriteStream;
  TNativeValue GetValue(const TField& field);
  void SetValue(const TField& field, TNativeValue value);

  std::vector<std::unique_ptr<TField>> fields_;
  TParams params_;
  RecordValues editBuffer_;
  int savedPosition_ = -1;  // position before Append, for Cancel
  bool savedBof_ = true, savedEof_ = true;
  std::vector<TBlobWriteStream*> blobWriters_;  // open blob write streams
};

// Splits "A;B; C" into trimmed names (empty parts dropped).
std::vector<std::string> SplitFieldNames(std::string_view names);

}  // namespace ztv

#include "formats/imd/imd_tools.h"

#include <limits>

#include "core/errors.h"
#include "core/text.h"
#include "formats/imd/imd_format.h"

namespace ztv {

using namespace imd_messages;

namespace {
const char* const kPackPrefix = "PackMappedData: ";
const char* const kUnpackPrefix = "UnPackMappedData: ";
const char* const kInvalidFieldSize = "Недопустимый размер поля '%s': %d";
}  // namespace

TFieldMapping::TFieldMapping(std::string_view text) {
  if (Trim(text).empty()) return;
  absent_ = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(start, end - start);
    start = end + 1;
    if (Trim(part).empty()) continue;
    Entry e;
    size_t eq = part.find('=');
    if (eq == std::string_view::npos) {
      e.from = Trim(part);
    } else {
      e.from = Trim(part.substr(0, eq));
      e.to = Trim(part.substr(eq + 1));
    }
    entries_.push_back(std::move(e));
  }
}

std::string TFieldMapping::Map(std::string_view name) const {
  if (absent_) return std::string(name);
  const Entry* star = nullptr;
  for (const auto& e : entries_) {
    if (e.from == "*") {
      if (!star) star = &e;
    } else if (SameText(e.from, name)) {
      return e.to ? *e.to : std::string(name);
    }
  }
  if (star) return star->to ? *star->to : std::string(name);
  return {};
}

namespace {

bool Includes(const TField& f, uint32_t options) {
  if (IsUnstorableType(f.DataType())) return false;
  if ((options & PackOptions::SkipCalculated) && f.FieldKind() != TFieldKind::Data) return false;
  return true;
}

int WriteRecords(TDataSet& ds, TZVStream& s, TIMDHeader& h, bool repeatMarks, bool legacy) {
  int count = 0;
  if (!ds.Active()) return 0;
  std::vector<TNativeValue> values(h.Fields.size());
  for (ds.First(); !ds.Eof(); ds.Next()) {
    for (size_t i = 0; i < h.Fields.size(); ++i) values[i] = ds.Fields(h.Fields[i].Bound).Native();
    WriteIMDRecord(s, h, values, repeatMarks, legacy);
    ++count;
  }
  return count;
}

int PackLegacy(TDataSet& ds, TZVStream& s, const TFieldMapping& map, uint32_t options) {
  const int64_t headerAt = s.Position();
  std::string zeros(kIMDLegacyHeaderSize, '\0');
  s.WriteBuffer(zeros.data(), kIMDLegacyHeaderSize);

  TIMDHeader h;
  h.Version = '-';
  h.Options = options;
  std::string descriptors;
  for (int i = 0; i < ds.FieldCount(); ++i) {
    const TField& field = ds.Fields(i);
    if (!Includes(field, options)) continue;
    std::string name = map.Map(field.FieldName());
    if (name.empty()) continue;
    int64_t size = field.DataType() == TFieldType::String ? field.Size()
                   : field.DataType() == TFieldType::BCD  ? 8
                   : field.IsBlob()                       ? field.Size()
                                                          : field.DataSize();
    if (size > 0xFFFF) throw Exception(Format(kInvalidFieldSize, field.FieldName(), size));
    std::string cp;
    if (!TryUtf8ToCp1251(name, cp))
      throw Exception(Format("Имя \"%s\" не может быть записано в кодировке Windows-1251", name));
    if (cp.size() > static_cast<size_t>(kIMDLegacyNameLength)) cp.resize(kIMDLegacyNameLength);
    std::string area(kIMDLegacyNameLength + 1, '\0');
    area[0] = static_cast<char>(cp.size());
    area.replace(1, cp.size(), cp);
    descriptors += area;
    descriptors += static_cast<char>(field.DataType());
    PutLE(descriptors, static_cast<uint64_t>(size), 2);

    TIMDFieldRec f;
    f.DataType = field.DataType();
    f.Size = static_cast<uint32_t>(size);
    f.Name = Cp1251ToUtf8(cp);
    f.Bound = i;
    PrepareIMDField(f, true);
    h.Fields.push_back(std::move(f));
  }
  if (h.Fields.size() > static_cast<size_t>(kIMDMaxLegacyFields))
    throw Exception(kPackPrefix + Format("слишком много полей для старого формата пакета IMD: %d",
                                         static_cast<int>(h.Fields.size())));
  s.WriteBuffer(descriptors.data(), static_cast<int64_t>(descriptors.size()));

  const int64_t start = s.Position();
  int count = WriteRecords(ds, s, h, false, true);
  const int64_t end = s.Position();
  if (end > std::numeric_limits<int32_t>::max())
    throw Exception(kPackPrefix + std::string("пакет IMD старого формата не может выходить за 2 ГБ потока"));
  s.Seek(headerAt, SeekOrigin::Begin);
  s.WriteI32(count);
  s.WriteI32(static_cast<int32_t>(h.Fields.size()));
  s.WriteI32(static_cast<int32_t>(start));
  s.WriteI32(static_cast<int32_t>(end));
  s.WriteI32(0);
  s.Seek(end, SeekOrigin::Begin);
  return count;
}

}  // namespace

int PackMappedData(TDataSet* dataSet, TZVStream* stream, std::string_view fieldMapping, uint32_t options) {
  if (!dataSet) throw Exception(std::string(kPackPrefix) + kNilDataSet);
  if (!stream) throw Exception(std::string(kPackPrefix) + kNilStream);
  TFieldMapping map(fieldMapping);
  if (dataSet->Active()) dataSet->CheckBrowseMode();
  if (options & PackOptions::LegacyLayout) return PackLegacy(*dataSet, *stream, map, options);

  const bool strict = (options & PackOptions::StrictStatus) != 0;
  const bool repeatMarks = strict || (options & PackOptions::RepeatMarks) != 0;
  TIMDHeader h;
  h.Version = strict ? '2' : repeatMarks ? '1' : '0';
  h.Options = options;
  for (int i = 0; i < dataSet->FieldCount(); ++i) {
    const TField& field = dataSet->Fields(i);
    if (!Includes(field, options)) continue;
    std::string name = map.Map(field.FieldName());
    if (name.empty()) continue;
    TIMDFieldRec f;
    f.DataType = field.DataType();
    f.Name = name;
    int64_t size = field.DataType() == TFieldType::BCD ? 8 : field.IsBlob() ? field.Size() : field.DataSize();
    if (size < 0 || size > 0xFFFFFFFFll) throw Exception(Format(kInvalidFieldSize, field.FieldName(), size));
    f.Size = static_cast<uint32_t>(size);
    f.Flags = (options & PackOptions::WithAttributes) ? field.Attributes() : 0;
    if (repeatMarks && field.DataType() == TFieldType::String) f.Flags |= TIMDFlags::RepeatMarks;
    f.Bound = i;
    PrepareIMDField(f, false);
    h.Fields.push_back(std::move(f));
  }
  TParams* params = (options & PackOptions::WithParams) ? &dataSet->Params() : nullptr;
  WriteIMDHeader(*stream, h, params);
  int count = WriteRecords(*dataSet, *stream, h, repeatMarks, false);
  stream->WriteU8(kIMDEndMark);
  return count;
}

int UnPackMappedData(TZVStream* stream, TDataSet* dataSet, uint32_t options, std::string_view fieldMapping) {
  if (!stream) throw Exception(std::string(kUnpackPrefix) + kNilStream);
  if (!dataSet) throw Exception(std::string(kUnpackPrefix) + kNilDataSet);
  if (stream->Remaining() < kIMDMinimumSize) throw Exception(std::string(kUnpackPrefix) + kNoRoomForHeader);
  TFieldMapping map(fieldMapping);

  const bool recreate = (options & UnpackOptions::RecreateFields) != 0;
  if (recreate) {
    dataSet->Close();
    dataSet->ClearFields();
  } else if (dataSet->Active()) {
    dataSet->CheckBrowseMode();
  }
  TParams* params = nullptr;
  if (options & UnpackOptions::WithParams) {
    params = &dataSet->Params();
    params->Clear();
  }

  TIMDHeader h;
  h.Options = options;
  ReadIMDHeader(*stream, h, params);

  for (auto& f : h.Fields) {
    std::string name = map.Map(f.Name);
    if (name.empty()) continue;
    if (recreate) {
      TField& field = dataSet->AddField(name, f.DataType, f.Shape.Size);
      if (options & UnpackOptions::WithAttributes) field.SetAttributes(f.Flags & TIMDFlags::Attributes);
      f.Bound = field.Index();
    } else {
      if (!dataSet->FindField(name) && (options & UnpackOptions::SkipMissingFields)) continue;
      f.Bound = dataSet->FieldByName(name).Index();  // a missing field raises field-not-found
    }
  }

  if (!dataSet->Active()) dataSet->Open();
  std::vector<TIMDValue> values;
  int count = 0;
  for (;;) {
    dataSet->Append();
    try {
      if (!ReadIMDRecord(*stream, h, values, false, TIMDBlobMode::Read)) {
        dataSet->Cancel();
        break;
      }
      for (size_t i = 0; i < h.Fields.size(); ++i) {
        const TIMDFieldRec& f = h.Fields[i];
        if (f.Bound < 0 || !values[i].Present) continue;
        TField& field = dataSet->Fields(f.Bound);
        if (field.DataType() == f.Shape.Type && field.Size() == f.Shape.Size) {
          field.SetNative(std::move(values[i].Value));
        } else {
          field.SetNative(ConvertNative(f.Shape, values[i].Value, field.Shape()));
        }
      }
      dataSet->Post();
    } catch (...) {
      dataSet->Cancel();
      throw;
    }
    ++count;
  }
  return count;
}

int SaveDataSetToStream(TDataSet& dataSet, TZVStream& stream) {
  return PackMappedData(&dataSet, &stream, {}, PackOptions::WithParams | PackOptions::WithAttributes);
}

int LoadDataSetFromStream(TZVStream& stream, TDataSet& dataSet, uint32_t options) {
  return UnPackMappedData(&stream, &dataSet, options | UnpackOptions::WithParams, {});
}

}  // namespace ztv

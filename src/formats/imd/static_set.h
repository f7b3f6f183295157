// TStaticSet: the in-memory dataset. It holds the package descriptor, the
// backup indexes and every other table the program builds or reads from an
// IMD packet.
//
// Besides what TDataSet offers (fields by name, Append/Edit/Post/Cancel,
// Delete, First/Next/Last/Prior with Bof/Eof, RecordCount, Locate), it has:
//   - ordering: IndexFieldNames ("ID" or "Kind;Name") with Sorted. While
//     Sorted is on, records are visited in ascending order of those fields
//     (null first, texts by code point, equal keys in insertion order);
//     switching it off returns to insertion order;
//   - keys: KeyFieldNames with FindByKey, which positions on the first
//     visited record whose key fields equal the values;
//   - lookups: Locate and FindByKey on one field go through an index (a map
//     from the field's value, upper-cased for case-insensitive texts, to its
//     records) built on first use and kept up to date by every post and
//     delete, so a lookup costs the same whatever the number of records;
//   - a filter: SetFilter("Kind=\"File\"") with SetFiltered(true) hides the
//     records that do not satisfy the expression (see SetFilter);
//   - copying: Assign copies another dataset's fields and records;
//   - EmptyDataSet, which drops every record and keeps the set open.
//
// Closing the set discards its records.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <string>
#include <string_view>
#include <vector>

#include "formats/imd/dataset.h"

namespace ztv {

struct TFilterOptions {
  bool CaseInsensitive = false;  // "=" and "<>" on texts ignore letter case
};

class TStaticSet : public TDataSet {
 public:
  TStaticSet();
  ~TStaticSet() override;

  // Removes every record; the set stays open.
  void EmptyDataSet();

  // Replaces this set's fields, parameters and records with copies of
  // `source`'s (the records `source` visits, from its first). The set ends
  // open on its first record; its own ordering and filter settings stay and
  // apply to the copy. `source` keeps its position.
  void Assign(TDataSet& source);
  // Replaces the field definitions only (the set must be closed).
  void CopyStructure(const TDataSet& source);

  const std::string& IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(std::string_view names);
  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);

  const std::string& KeyFieldNames() const { return keyFieldNames_; }
  void SetKeyFieldNames(std::string_view names) { keyFieldNames_ = std::string(names); }
  // Positions on the first visited record whose key fields equal `values`
  // (one value per key field); the position is kept when none does.
  bool FindByKey(const TVarValues& values);
  bool FindByKey(const TVarValue& value) { return FindByKey(TVarValues{value}); }

  // The filter expression: comparisons Field = value joined by AND, OR and
  // NOT, with parentheses. Operators: = <> < > <= >=. Values: "text" or
  // 'text' (a doubled quote stands for itself), numbers, TRUE, FALSE, NULL.
  // Field names may be written [in brackets]. A syntax error raises at once;
  // an unknown field raises when the filter is applied.
  const std::string& Filter() const { return filterText_; }
  void SetFilter(std::string_view expression);
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool filtered);
  const TFilterOptions& FilterOptions() const { return filterOptions_; }
  void SetFilterOptions(TFilterOptions options);

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  int InternalRecordCount() override { return live_; }
  int InternalCurrent() const override { return live_ == 0 ? -1 : curPos_; }
  bool InternalGoto(int index) override;
  TNativeValue InternalGetValue(int field) override;
  bool InternalPost(bool inserting, RecordValues&& values) override;
  void InternalDelete() override;
  bool InternalLocate(const std::vector<TField*>& fields, const std::vector<TNativeValue>& values,
                      const TVarValues& raw, TLocateOptions options) override;

 private:
  friend class FilterParser;
  struct Record;
  struct FilterNode;
  struct LookupIndex;

  // Rebuilds the visiting order; the cursor stays on `keep` when it is
  // still visited.
  void RebuildView(const Record* keep);
  void ResolveSettings();
  bool Passes(const Record& r) const;
  bool EvalFilter(const FilterNode& node, const Record& r) const;
  bool Less(const Record* a, const Record* b) const;
  const std::string& Folded(const Record& r, int field) const;

  // The visiting order keeps the slots of deleted records (nullptr) until
  // they outnumber the live ones; a Fenwick tree over the live slots turns
  // positions into slots and back in logarithmic time.
  void ResetStore();
  void BuildCounts();
  void CountSlot(size_t slot, int delta);
  int LiveBefore(size_t slot) const;
  size_t SlotAt(int position) const;
  void PushSlot(Record* rec);
  void CompactView();
  void CompactRecords();
  void MaybeCompact();
  // Takes the record at the cursor out of the visiting order; the cursor
  // moves to the record after it (or the last one).
  void HideCurrent();
  // Puts `rec` into the sorted visiting order and the cursor on it.
  void InsertSorted(Record* rec);
  void SetCursorSlot(size_t slot);

  // Lookups through the indexes; nullptr when the index cannot answer
  // (`usable` false) or no visited record matches.
  LookupIndex* IndexFor(const TField& field, bool caseInsensitive);
  Record* IndexLookup(const TField& field, bool caseInsensitive, const TNativeValue& want, bool& usable);
  void IndexAdd(Record* rec);
  void IndexRemove(Record* rec);
  void DropIndexes();

  std::vector<std::unique_ptr<Record>> records_;  // insertion order; nullptr when deleted
  size_t deadRecords_ = 0;
  std::vector<Record*> view_;                     // visiting order; nullptr when deleted
  std::vector<int> counts_;                       // Fenwick tree of live slots (1-based)
  int live_ = 0;
  size_t curSlot_ = 0;
  int curPos_ = 0;
  uint64_t nextSeq_ = 0;

  std::vector<std::unique_ptr<LookupIndex>> indexes_;
  // Fields (times two for the case-insensitive form) whose values repeat
  // too often for an index to help.
  std::vector<bool> unindexable_;

  std::string indexFieldNames_;
  bool sorted_ = false;
  std::vector<TField*> indexFields_;  // resolved while open and sorted

  std::string keyFieldNames_;

  std::string filterText_;
  bool filtered_ = false;
  TFilterOptions filterOptions_;
  std::unique_ptr<FilterNode> filterTree_;
};

}  // namespace ztv

// The lookups and the visiting order of TStaticSet checked against a plain
// model (a list of records walked from the front) over long random runs:
// appends, edits of the key fields, deletes, locates with and without case,
// FindByKey, sorting and filtering switched on and off. The runs are long
// enough to pass every threshold of the indexes and of the slot compaction.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/text.h"
#include "formats/imd/static_set.h"

namespace ztv {
namespace {

struct ModelRecord {
  int seq;
  int id;
  std::string name;
  int grp;
};

class Model {
 public:
  std::vector<ModelRecord> all;  // insertion order
  bool sorted = false, filtered = false;
  int pos = -1;                  // -1: empty

  std::vector<const ModelRecord*> Visible() const {
    std::vector<const ModelRecord*> v;
    for (const auto& r : all)
      if (!filtered || r.grp == 1) v.push_back(&r);
    if (sorted) std::stable_sort(v.begin(), v.end(), [](auto* a, auto* b) { return a->id < b->id; });
    return v;
  }
  int PositionOf(int seq) const {
    auto v = Visible();
    for (size_t i = 0; i < v.size(); ++i)
      if (v[i]->seq == seq) return static_cast<int>(i);
    return -1;
  }
  ModelRecord* Current() {
    auto v = Visible();
    if (pos < 0 || pos >= static_cast<int>(v.size())) return nullptr;
    for (auto& r : all)
      if (r.seq == v[static_cast<size_t>(pos)]->seq) return &r;
    return nullptr;
  }
  void Clamp() {
    const int n = static_cast<int>(Visible().size());
    if (n == 0) pos = -1;
    else pos = std::clamp(pos, 0, n - 1);
  }
};

void Define(TStaticSet& set) {
  set.AddField("Seq", TFieldType::Integer);
  set.AddField("ID", TFieldType::Integer);
  set.AddField("Name", TFieldType::String, 40);
  set.AddField("Grp", TFieldType::Integer);
  set.SetIndexFieldNames("ID");
  set.SetKeyFieldNames("ID");
  set.SetFilter("Grp = 1");
  set.Open();
}

void Store(TStaticSet& set, const ModelRecord& r) {
  set.FieldByName("Seq").SetAsInteger(r.seq);
  set.FieldByName("ID").SetAsInteger(r.id);
  set.FieldByName("Name").SetAsString(r.name);
  set.FieldByName("Grp").SetAsInteger(r.grp);
}

void ExpectSame(TStaticSet& set, Model& m, int step) {
  const auto v = m.Visible();
  ASSERT_EQ(set.RecordCount(), static_cast<int>(v.size())) << "step " << step;
  ASSERT_EQ(set.RecNo(), m.pos + 1) << "step " << step;
  if (m.pos >= 0) {
    ASSERT_EQ(set.FieldByName("Seq").AsInteger(), v[static_cast<size_t>(m.pos)]->seq) << "step " << step;
  }
}

// The first visited record matching `match`, or -1.
template <typename F>
int FirstMatch(const Model& m, F match) {
  auto v = m.Visible();
  for (size_t i = 0; i < v.size(); ++i)
    if (match(*v[i])) return static_cast<int>(i);
  return -1;
}

void RandomRun(unsigned seed, int steps, int idRange, int nameRange) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  // Names that differ only in letter case, Latin and Cyrillic.
  auto randomName = [&] {
    std::string base = (pick(2) ? "file" : "файл") + std::to_string(pick(nameRange));
    return pick(3) == 0 ? UpperCase(base) : base;
  };
  TStaticSet set;
  Define(set);
  Model m;
  int nextSeq = 1;
  for (int step = 0; step < steps; ++step) {
    int op = pick(100);
    // Every other stretch of the run deletes instead of appending, so that
    // deleted slots pile up and get compacted away.
    if ((step / 1500) % 2 == 1 && op < 30) op = 50;
    if (op < 30) {  // append
      ModelRecord r{nextSeq++, pick(idRange), randomName(), pick(4) == 0 ? 0 : 1};
      const int before = m.pos;
      set.Append();
      Store(set, r);
      set.Post();
      m.all.push_back(r);
      const bool visible = !m.filtered || r.grp == 1;
      if (visible) m.pos = m.PositionOf(r.seq);
      else m.pos = before;
      m.Clamp();
    } else if (op < 45) {  // edit a key field (or the filter field) of the current record
      ModelRecord* cur = m.Current();
      if (!cur) continue;
      const int what = pick(3);
      set.Edit();
      if (what == 0) cur->id = pick(idRange), set.FieldByName("ID").SetAsInteger(cur->id);
      if (what == 1) cur->name = randomName(), set.FieldByName("Name").SetAsString(cur->name);
      if (what == 2) cur->grp = 1 - cur->grp, set.FieldByName("Grp").SetAsInteger(cur->grp);
      const int seq = cur->seq;
      set.Post();
      const int now = m.PositionOf(seq);
      if (now >= 0) m.pos = now;  // still visited: the cursor follows it
      m.Clamp();
    } else if (op < 62) {  // delete
      ModelRecord* cur = m.Current();
      if (!cur) continue;
      const int seq = cur->seq;
      set.Delete();
      m.all.erase(std::find_if(m.all.begin(), m.all.end(), [&](auto& r) { return r.seq == seq; }));
      m.Clamp();
    } else if (op < 72) {  // locate by name, with or without case
      const std::string want = randomName();
      const bool ci = pick(2);
      TLocateOptions o;
      o.CaseInsensitive = ci;
      const int expect = FirstMatch(m, [&](const ModelRecord& r) {
        return ci ? UpperCase(r.name) == UpperCase(want) : r.name == want;
      });
      ASSERT_EQ(set.Locate("Name", TVarValue(want), o), expect >= 0) << "step " << step;
      if (expect >= 0) m.pos = expect;
    } else if (op < 80) {  // locate by ID, or by the field that repeats too much for an index
      const bool byGroup = pick(4) == 0;
      const int want = byGroup ? pick(2) : pick(idRange);
      const int expect =
          FirstMatch(m, [&](const ModelRecord& r) { return byGroup ? r.grp == want : r.id == want; });
      ASSERT_EQ(set.Locate(byGroup ? "Grp" : "ID", TVarValue(want)), expect >= 0) << "step " << step;
      if (expect >= 0) m.pos = expect;
    } else if (op < 86) {  // FindByKey on ID
      const int want = pick(idRange);
      const int expect = FirstMatch(m, [&](const ModelRecord& r) { return r.id == want; });
      ASSERT_EQ(set.FindByKey(TVarValue(want)), expect >= 0) << "step " << step;
      if (expect >= 0) m.pos = expect;
    } else if (op < 94) {  // walk a little
      const int move = pick(4);
      if (move == 0) set.Next(), m.pos = m.pos < 0 ? -1 : std::min<int>(m.pos + 1, static_cast<int>(m.Visible().size()) - 1);
      if (move == 1) set.Prior(), m.pos = m.pos < 0 ? -1 : std::max(m.pos - 1, 0);
      if (move == 2) set.First(), m.pos = m.Visible().empty() ? -1 : 0;
      if (move == 3) set.Last(), m.pos = static_cast<int>(m.Visible().size()) - 1;
    } else if (op < 97) {  // sorting on or off: the cursor stays on its record
      ModelRecord* cur = m.Current();
      const int seq = cur ? cur->seq : -1;
      m.sorted = !m.sorted;
      set.SetSorted(m.sorted);
      m.pos = seq >= 0 ? m.PositionOf(seq) : -1;
      m.Clamp();
    } else {  // filter on or off: back to the first record
      m.filtered = !m.filtered;
      set.SetFiltered(m.filtered);
      m.pos = m.Visible().empty() ? -1 : 0;
    }
    ExpectSame(set, m, step);
  }
  // The whole visiting order at the end.
  std::vector<int> seqs;
  for (set.First(); !set.Eof(); set.Next()) seqs.push_back(set.FieldByName("Seq").AsInteger());
  std::vector<int> expect;
  for (auto* r : m.Visible()) expect.push_back(r->seq);
  EXPECT_EQ(seqs, expect);
}

TEST(StaticSetIndex, MatchesAPlainModelOverRandomRuns) {
  // Mostly unique keys (the backup's IDs and names) and crowded ones.
  RandomRun(1, 6000, 100000, 100000);
  RandomRun(2, 6000, 300, 200);
  RandomRun(3, 4000, 20, 10);
}

TEST(StaticSetIndex, LookupsAfterManyDeletesAndKeyEdits) {
  TStaticSet set;
  Define(set);
  const int n = 5000;
  for (int i = 1; i <= n; ++i) {
    set.Append();
    Store(set, ModelRecord{i, i, "Name" + std::to_string(i), 1});
    set.Post();
  }
  // Delete every record with an odd ID through a case-insensitive lookup,
  // the way the restore drops what it has written.
  for (int i = 1; i <= n; i += 2) {
    ASSERT_TRUE(set.Locate("Name", TVarValue("NAME" + std::to_string(i)), {.CaseInsensitive = true}));
    ASSERT_EQ(set.FieldByName("ID").AsInteger(), i);
    set.Delete();
  }
  EXPECT_EQ(set.RecordCount(), n / 2);
  EXPECT_FALSE(set.Locate("Name", TVarValue(std::string("Name1"))));
  EXPECT_FALSE(set.Locate("ID", TVarValue(3)));
  // The exact lookup tells the cases apart; the current record follows.
  ASSERT_TRUE(set.Locate("ID", TVarValue(4000)));
  EXPECT_EQ(set.RecNo(), 2000);
  set.Edit();
  set.FieldByName("Name").SetAsString("renamed");
  set.FieldByName("ID").SetAsInteger(-1);
  set.Post();
  EXPECT_FALSE(set.Locate("Name", TVarValue(std::string("Name4000"))));
  EXPECT_FALSE(set.Locate("Name", TVarValue(std::string("RENAMED"))));
  ASSERT_TRUE(set.Locate("Name", TVarValue(std::string("RENAMED")), {.CaseInsensitive = true}));
  EXPECT_EQ(set.FieldByName("Seq").AsInteger(), 4000);
  EXPECT_TRUE(set.FindByKey(TVarValue(-1)));
  EXPECT_EQ(set.RecNo(), 2000);
  set.Next();
  EXPECT_EQ(set.FieldByName("ID").AsInteger(), 4002);
  // Emptying the set drops the index with the records.
  set.EmptyDataSet();
  EXPECT_FALSE(set.Locate("ID", TVarValue(2)));
  set.Append();
  Store(set, ModelRecord{1, 2, "x", 1});
  set.Post();
  EXPECT_TRUE(set.Locate("ID", TVarValue(2)));
}

}  // namespace
}  // namespace ztv

#include "formats/imd/static_set.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "core/errors.h"
#include "core/text.h"

namespace ztv {

namespace {
const char* const kFilterSyntax = "Ошибка в выражении фильтра: %s";
const char* const kNoKeyFields = "Не заданы ключевые поля набора данных";
const char* const kKeyValueCount = "Число значений (%d) не совпадает с числом полей (%d)";

// The shape used to turn a value looked for into a field's native form:
// texts are not cut to the declared size, so a longer text matches nothing.
TValueShape SearchShape(const TField& field) {
  TValueShape s = field.Shape();
  if (IsTextType(s.Type)) s.Size = std::numeric_limits<int32_t>::max();
  return s;
}
}  // namespace

struct TStaticSet::Record {
  uint64_t seq = 0;
  size_t order = 0;   // place in records_
  int64_t slot = -1;  // place in view_, -1 when not visited
  RecordValues values;
  // Upper-cased texts for case-insensitive searches, filled on demand.
  mutable std::vector<std::optional<std::string>> folded;
};

struct TStaticSet::FilterNode {
  enum class Kind { And, Or, Not, Compare } kind = Kind::Compare;
  enum class Op { Eq, Ne, Lt, Gt, Le, Ge } op = Op::Eq;
  std::unique_ptr<FilterNode> left, right;
  std::string fieldName;
  TVarValue value;
  // Resolved when the filter is applied.
  const TField* field = nullptr;
  TNativeValue want;
  bool convertible = false;
};

// ---------------------------------------------------------------------------
// Filter expression parser

namespace {

struct Token {
  enum class Type { End, LParen, RParen, Op, String, Number, Name, Keyword } type = Type::End;
  std::string text;  // operator, name (unquoted), string content, keyword in upper case
};

class FilterLexer {
 public:
  explicit FilterLexer(std::string_view s) : s_(s) {}

  Token Next() {
    while (i_ < s_.size() && static_cast<unsigned char>(s_[i_]) <= ' ') ++i_;
    Token t;
    if (i_ >= s_.size()) return t;
    char c = s_[i_];
    if (c == '(' || c == ')') {
      ++i_;
      t.type = c == '(' ? Token::Type::LParen : Token::Type::RParen;
      return t;
    }
    if (c == '=' || c == '<' || c == '>') {
      t.type = Token::Type::Op;
      t.text = c;
      ++i_;
      if (i_ < s_.size() && ((c == '<' && (s_[i_] == '>' || s_[i_] == '=')) || (c == '>' && s_[i_] == '=')))
        t.text += s_[i_++];
      return t;
    }
    if (c == '"' || c == '\'') {
      ++i_;
      t.type = Token::Type::String;
      for (;;) {
        if (i_ >= s_.size()) Fail();
        if (s_[i_] == c) {
          if (i_ + 1 < s_.size() && s_[i_ + 1] == c) {
            t.text += c;
            i_ += 2;
            continue;
          }
          ++i_;
          break;
        }
        t.text += s_[i_++];
      }
      return t;
    }
    if (c == '[') {
      size_t end = s_.find(']', i_);
      if (end == std::string_view::npos) Fail();
      t.type = Token::Type::Name;
      t.text = std::string(s_.substr(i_ + 1, end - i_ - 1));
      i_ = end + 1;
      return t;
    }
    if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') {
      size_t start = i_++;
      while (i_ < s_.size() && ((s_[i_] >= '0' && s_[i_] <= '9') || s_[i_] == '.')) ++i_;
      t.type = Token::Type::Number;
      t.text = std::string(s_.substr(start, i_ - start));
      return t;
    }
    if (IsNameChar(c, true)) {
      size_t start = i_;
      while (i_ < s_.size() && IsNameChar(s_[i_], false)) ++i_;
      t.text = std::string(s_.substr(start, i_ - start));
      std::string upper = UpperCase(t.text);
      if (upper == "AND" || upper == "OR" || upper == "NOT" || upper == "NULL" || upper == "TRUE" ||
          upper == "FALSE") {
        t.type = Token::Type::Keyword;
        t.text = upper;
      } else {
        t.type = Token::Type::Name;
      }
      return t;
    }
    Fail();
  }

  [[noreturn]] void Fail() const { throw Exception(Format(kFilterSyntax, std::string(s_))); }

 private:
  static bool IsNameChar(char c, bool first) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x80 || c == '_' || std::isalpha(u)) return true;
    return !first && (std::isdigit(u) || c == '.');
  }
  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

class FilterParser {
 public:
  using Node = std::unique_ptr<TStaticSet::FilterNode>;
  explicit FilterParser(std::string_view s) : lex_(s) { Advance(); }

  Node Parse() {
    Node n = ParseOr();
    if (tok_.type != Token::Type::End) lex_.Fail();
    return n;
  }

 private:
  using FN = TStaticSet::FilterNode;
  void Advance() { tok_ = lex_.Next(); }
  bool IsKeyword(const char* k) const { return tok_.type == Token::Type::Keyword && tok_.text == k; }

  Node Binary(FN::Kind kind, Node l, Node r) {
    auto n = std::make_unique<FN>();
    n->kind = kind;
    n->left = std::move(l);
    n->right = std::move(r);
    return n;
  }
  Node ParseOr() {
    Node n = ParseAnd();
    while (IsKeyword("OR")) {
      Advance();
      n = Binary(FN::Kind::Or, std::move(n), ParseAnd());
    }
    return n;
  }
  Node ParseAnd() {
    Node n = ParseUnary();
    while (IsKeyword("AND")) {
      Advance();
      n = Binary(FN::Kind::And, std::move(n), ParseUnary());
    }
    return n;
  }
  Node ParseUnary() {
    if (IsKeyword("NOT")) {
      Advance();
      return Binary(FN::Kind::Not, ParseUnary(), nullptr);
    }
    if (tok_.type == Token::Type::LParen) {
      Advance();
      Node n = ParseOr();
      if (tok_.type != Token::Type::RParen) lex_.Fail();
      Advance();
      return n;
    }
    if (tok_.type != Token::Type::Name) lex_.Fail();
    auto n = std::make_unique<FN>();
    n->kind = FN::Kind::Compare;
    n->fieldName = tok_.text;
    Advance();
    if (tok_.type != Token::Type::Op) lex_.Fail();
    const std::string& op = tok_.text;
    n->op = op == "=" ? FN::Op::Eq : op == "<>" ? FN::Op::Ne : op == "<" ? FN::Op::Lt
          : op == ">" ? FN::Op::Gt : op == "<=" ? FN::Op::Le : FN::Op::Ge;
    Advance();
    switch (tok_.type) {
      case Token::Type::String:
        n->value = TVarValue(tok_.text);
        break;
      case Token::Type::Number: {
        const std::string& t = tok_.text;
        const char* b = t.data() + (t[0] == '+' ? 1 : 0);
        int64_t i;
        double d;
        auto r = std::from_chars(b, t.data() + t.size(), i);
        if (r.ec == std::errc() && r.ptr == t.data() + t.size()) {
          n->value = TVarValue(i);
        } else {
          auto r2 = std::from_chars(b, t.data() + t.size(), d);
          if (r2.ec != std::errc() || r2.ptr != t.data() + t.size()) lex_.Fail();
          n->value = TVarValue(d);
        }
        break;
      }
      case Token::Type::Keyword:
        if (tok_.text == "NULL") n->value = TVarValue();
        else if (tok_.text == "TRUE") n->value = TVarValue(true);
        else if (tok_.text == "FALSE") n->value = TVarValue(false);
        else lex_.Fail();
        break;
      default:
        lex_.Fail();
    }
    Advance();
    return n;
  }

  FilterLexer lex_;
  Token tok_;
};

// ---------------------------------------------------------------------------

TStaticSet::TStaticSet() = default;
TStaticSet::~TStaticSet() = default;

// An index over one field: the records of each value. Texts are keyed as
// stored or, for the case-insensitive form, upper-cased; numbers and
// booleans by their value, so that keys are equal exactly when the values
// compare equal.
struct TStaticSet::LookupIndex {
  int field = 0;
  bool caseInsensitive = false;
  std::unordered_map<std::string, std::vector<Record*>> buckets;
};

namespace {

// A bucket larger than this means the field does not tell records apart
// well enough for an index: such fields are searched by walking instead.
constexpr size_t kMaxBucket = 64;

bool IndexableType(TFieldType type) {
  const TValueKind kind = KindOf(type);
  return kind == TValueKind::Text || kind == TValueKind::Integer || kind == TValueKind::Boolean ||
         kind == TValueKind::Currency || kind == TValueKind::Bytes;
}

// The index key of a value; a null value has a key of its own.
std::string IndexKey(const TValueShape& shape, const TNativeValue& value, bool caseInsensitive) {
  if (!value) return std::string();
  std::string key(1, '\1');
  switch (KindOf(shape.Type)) {
    case TValueKind::Text:
      key += caseInsensitive ? UpperCase(*value) : *value;
      break;
    case TValueKind::Integer: {
      const int64_t v = NativeAsLargeInt(shape, value);
      key.append(reinterpret_cast<const char*>(&v), sizeof v);
      break;
    }
    case TValueKind::Boolean:
      key += NativeAsBoolean(shape, value) ? '1' : '0';
      break;
    case TValueKind::Currency: {
      const int64_t v = NativeAsCurrency(shape, value).Scaled;
      key.append(reinterpret_cast<const char*>(&v), sizeof v);
      break;
    }
    default:
      key += NativeAsBytes(shape, value);
      break;
  }
  return key;
}

}  // namespace

void TStaticSet::ResetStore() {
  records_.clear();
  deadRecords_ = 0;
  view_.clear();
  counts_.assign(1, 0);
  live_ = 0;
  curSlot_ = 0;
  curPos_ = 0;
  DropIndexes();
}

void TStaticSet::InternalOpen() {
  ResetStore();
  ResolveSettings();
}

void TStaticSet::InternalClose() {
  ResetStore();
  indexFields_.clear();
}

void TStaticSet::EmptyDataSet() {
  CheckActive();
  Cancel();
  ResetStore();
  Resync();
}

// ---------------------------------------------------------------- slots

void TStaticSet::BuildCounts() {
  const size_t n = view_.size();
  counts_.assign(n + 1, 0);
  live_ = 0;
  for (size_t i = 1; i <= n; ++i) {
    if (view_[i - 1]) {
      counts_[i] += 1;
      ++live_;
    }
    const size_t parent = i + (i & (~i + 1));
    if (parent <= n) counts_[parent] += counts_[i];
  }
}

void TStaticSet::CountSlot(size_t slot, int delta) {
  for (size_t i = slot + 1; i < counts_.size(); i += i & (~i + 1)) counts_[i] += delta;
  live_ += delta;
}

int TStaticSet::LiveBefore(size_t slot) const {
  int sum = 0;
  for (size_t i = slot; i > 0; i -= i & (~i + 1)) sum += counts_[i];
  return sum;
}

size_t TStaticSet::SlotAt(int position) const {
  // The smallest slot with position + 1 live slots up to and including it.
  size_t at = 0;
  int remaining = position + 1;
  size_t step = 1;
  while (step * 2 < counts_.size()) step *= 2;
  for (; step > 0; step /= 2) {
    if (at + step < counts_.size() && counts_[at + step] < remaining) {
      at += step;
      remaining -= counts_[at];
    }
  }
  return at;  // 1-based "at + 1" is the slot's tree index
}

void TStaticSet::PushSlot(Record* rec) {
  view_.push_back(rec);
  rec->slot = static_cast<int64_t>(view_.size() - 1);
  const size_t i = view_.size();
  // The new node covers the slots (i - lowbit(i), i].
  const size_t low = i & (~i + 1);
  counts_.push_back(1 + LiveBefore(i - 1) - LiveBefore(i - low));
  ++live_;
}

void TStaticSet::SetCursorSlot(size_t slot) {
  curSlot_ = slot;
  curPos_ = LiveBefore(slot);
}

void TStaticSet::CompactView() {
  if (static_cast<size_t>(live_) == view_.size()) return;
  const Record* keep = live_ > 0 ? view_[curSlot_] : nullptr;
  size_t out = 0;
  for (Record* r : view_) {
    if (!r) continue;
    r->slot = static_cast<int64_t>(out);
    view_[out++] = r;
  }
  view_.resize(out);
  BuildCounts();
  curSlot_ = keep ? static_cast<size_t>(keep->slot) : 0;
  curPos_ = keep ? static_cast<int>(curSlot_) : 0;
}

void TStaticSet::CompactRecords() {
  size_t out = 0;
  for (auto& r : records_) {
    if (!r) continue;
    r->order = out;
    records_[out++] = std::move(r);
  }
  records_.resize(out);
  deadRecords_ = 0;
}

void TStaticSet::MaybeCompact() {
  const size_t dead = view_.size() - static_cast<size_t>(live_);
  if (dead > 32 && dead > static_cast<size_t>(live_)) CompactView();
  if (deadRecords_ > 32 && deadRecords_ > records_.size() / 2) CompactRecords();
}

void TStaticSet::HideCurrent() {
  Record* rec = view_[curSlot_];
  view_[curSlot_] = nullptr;
  rec->slot = -1;
  CountSlot(curSlot_, -1);
  if (live_ == 0) {
    curSlot_ = 0;
    curPos_ = 0;
    return;
  }
  if (curPos_ < live_) {
    size_t s = curSlot_ + 1;
    while (!view_[s]) ++s;
    curSlot_ = s;  // the next record takes the position
  } else {
    curPos_ = live_ - 1;
    curSlot_ = SlotAt(curPos_);
  }
}

void TStaticSet::InsertSorted(Record* rec) {
  auto less = [this](const Record* a, const Record* b) { return Less(a, b); };
  // Appending in key order (the usual way of filling a sorted set) needs
  // no shifting.
  size_t lastLive = view_.size();
  while (lastLive > 0 && !view_[lastLive - 1]) --lastLive;
  if (lastLive == 0 || less(view_[lastLive - 1], rec)) {
    PushSlot(rec);
    SetCursorSlot(view_.size() - 1);
    return;
  }
  CompactView();
  auto pos = std::lower_bound(view_.begin(), view_.end(), rec, less);
  pos = view_.insert(pos, rec);
  const size_t at = static_cast<size_t>(pos - view_.begin());
  for (size_t i = at; i < view_.size(); ++i) view_[i]->slot = static_cast<int64_t>(i);
  BuildCounts();
  curSlot_ = at;
  curPos_ = static_cast<int>(at);
}

bool TStaticSet::InternalGoto(int index) {
  if (index < 0 || index >= live_) return false;
  if (index == curPos_ + 1) {
    size_t s = curSlot_ + 1;
    while (!view_[s]) ++s;
    curSlot_ = s;
  } else if (index == curPos_ - 1) {
    size_t s = curSlot_ - 1;
    while (!view_[s]) --s;
    curSlot_ = s;
  } else if (index != curPos_ || !view_[curSlot_]) {
    curSlot_ = SlotAt(index);
  }
  curPos_ = index;
  return true;
}

TNativeValue TStaticSet::InternalGetValue(int field) {
  if (live_ == 0) return std::nullopt;
  return view_[curSlot_]->values[static_cast<size_t>(field)];
}

void TStaticSet::ResolveSettings() {
  indexFields_.clear();
  if (sorted_) {
    for (const auto& n : SplitFieldNames(indexFieldNames_)) indexFields_.push_back(&FieldByName(n));
  }
  if (filtered_ && filterTree_) {
    std::vector<FilterNode*> stack{filterTree_.get()};
    while (!stack.empty()) {
      FilterNode* n = stack.back();
      stack.pop_back();
      if (n->kind == FilterNode::Kind::Compare) {
        n->field = &FieldByName(n->fieldName);
        try {
          n->want = NativeFromVar(SearchShape(*n->field), n->value);
          n->convertible = true;
        } catch (const Exception&) {
          n->want.reset();
          n->convertible = false;
        }
      } else {
        if (n->left) stack.push_back(n->left.get());
        if (n->right) stack.push_back(n->right.get());
      }
    }
  }
}

bool TStaticSet::Less(const Record* a, const Record* b) const {
  for (const TField* f : indexFields_) {
    const auto& va = a->values[static_cast<size_t>(f->Index())];
    const auto& vb = b->values[static_cast<size_t>(f->Index())];
    if (!va || !vb) {
      if (va.has_value() != vb.has_value()) return !va.has_value();
      continue;
    }
    int c = CompareNative(f->Shape(), *va, *vb);
    if (c != 0) return c < 0;
  }
  return a->seq < b->seq;
}

const std::string& TStaticSet::Folded(const Record& r, int field) const {
  if (r.folded.size() != r.values.size()) r.folded.assign(r.values.size(), std::nullopt);
  auto& slot = r.folded[static_cast<size_t>(field)];
  if (!slot) slot = UpperCase(r.values[static_cast<size_t>(field)].value_or(std::string()));
  return *slot;
}

bool TStaticSet::EvalFilter(const FilterNode& n, const Record& r) const {
  switch (n.kind) {
    case FilterNode::Kind::And:
      return EvalFilter(*n.left, r) && EvalFilter(*n.right, r);
    case FilterNode::Kind::Or:
      return EvalFilter(*n.left, r) || EvalFilter(*n.right, r);
    case FilterNode::Kind::Not:
      return !EvalFilter(*n.left, r);
    case FilterNode::Kind::Compare:
      break;
  }
  const auto& have = r.values[static_cast<size_t>(n.field->Index())];
  using Op = FilterNode::Op;
  if (n.value.IsNull()) {
    if (n.op == Op::Eq) return !have.has_value();
    if (n.op == Op::Ne) return have.has_value();
    return false;
  }
  if (!n.convertible) return n.op == Op::Ne;
  if (!have) return false;
  int c;
  if (filterOptions_.CaseInsensitive && IsTextType(n.field->DataType())) {
    const std::string& h = Folded(r, n.field->Index());
    std::string w = UpperCase(*n.want);
    c = h.compare(w);
  } else {
    c = CompareNative(n.field->Shape(), *have, *n.want);
  }
  switch (n.op) {
    case Op::Eq: return c == 0;
    case Op::Ne: return c != 0;
    case Op::Lt: return c < 0;
    case Op::Gt: return c > 0;
    case Op::Le: return c <= 0;
    case Op::Ge: return c >= 0;
  }
  return false;
}

bool TStaticSet::Passes(const Record& r) const {
  return !filtered_ || !filterTree_ || EvalFilter(*filterTree_, r);
}

void TStaticSet::RebuildView(const Record* keep) {
  view_.clear();
  for (auto& r : records_) {
    if (!r) continue;
    r->slot = -1;
    if (Passes(*r)) view_.push_back(r.get());
  }
  if (sorted_ && !indexFields_.empty()) {
    auto less = [this](const Record* a, const Record* b) { return Less(a, b); };
    // Records are often added in key order already.
    if (!std::is_sorted(view_.begin(), view_.end(), less)) std::sort(view_.begin(), view_.end(), less);
  }
  for (size_t i = 0; i < view_.size(); ++i) view_[i]->slot = static_cast<int64_t>(i);
  BuildCounts();
  curSlot_ = 0;
  curPos_ = 0;
  if (keep && keep->slot >= 0) {
    curSlot_ = static_cast<size_t>(keep->slot);
    curPos_ = static_cast<int>(curSlot_);
  }
}

bool TStaticSet::InternalPost(bool inserting, RecordValues&& values) {
  const bool sorted = sorted_ && !indexFields_.empty();
  Record* rec;
  if (inserting) {
    auto r = std::make_unique<Record>();
    r->seq = nextSeq_++;
    r->order = records_.size();
    rec = r.get();
    records_.push_back(std::move(r));
    rec->values = std::move(values);
    IndexAdd(rec);
    // A record the filter hides is kept but not visited; the cursor stays.
    if (!Passes(*rec)) return false;
    if (sorted) {
      InsertSorted(rec);
    } else {
      PushSlot(rec);
      SetCursorSlot(view_.size() - 1);
    }
    return true;
  }

  rec = view_[curSlot_];
  IndexRemove(rec);
  rec->values = std::move(values);
  rec->folded.clear();
  IndexAdd(rec);
  const bool passes = Passes(*rec);
  if (passes && sorted) {
    // The record keeps its slot while it still sorts between its neighbours.
    size_t prev = curSlot_, next = curSlot_ + 1;
    while (prev > 0 && !view_[prev - 1]) --prev;
    while (next < view_.size() && !view_[next]) ++next;
    const bool afterPrev = prev == 0 || Less(view_[prev - 1], rec);
    const bool beforeNext = next >= view_.size() || Less(rec, view_[next]);
    if (afterPrev && beforeNext) return true;
    HideCurrent();
    InsertSorted(rec);
    return true;
  }
  if (passes) return true;
  // The filter now hides it: the next record takes its place.
  HideCurrent();
  MaybeCompact();
  return false;
}

void TStaticSet::InternalDelete() {
  Record* rec = view_[curSlot_];
  HideCurrent();
  IndexRemove(rec);
  const size_t order = rec->order;
  records_[order].reset();
  ++deadRecords_;
  MaybeCompact();
}

// ---------------------------------------------------------------- indexes

void TStaticSet::DropIndexes() {
  indexes_.clear();
  unindexable_.clear();
}

TStaticSet::LookupIndex* TStaticSet::IndexFor(const TField& field, bool caseInsensitive) {
  if (!IndexableType(field.DataType())) return nullptr;
  const size_t flag = static_cast<size_t>(field.Index()) * 2 + (caseInsensitive ? 1 : 0);
  if (flag < unindexable_.size() && unindexable_[flag]) return nullptr;
  for (auto& index : indexes_)
    if (index->field == field.Index() && index->caseInsensitive == caseInsensitive) return index.get();
  auto index = std::make_unique<LookupIndex>();
  index->field = field.Index();
  index->caseInsensitive = caseInsensitive;
  index->buckets.reserve(records_.size() - deadRecords_);
  for (auto& r : records_) {
    if (!r) continue;
    auto& bucket = index->buckets[IndexKey(field.Shape(), r->values[static_cast<size_t>(field.Index())], caseInsensitive)];
    bucket.push_back(r.get());
    if (bucket.size() > kMaxBucket) {
      if (unindexable_.size() <= flag) unindexable_.resize(flag + 1, false);
      unindexable_[flag] = true;
      return nullptr;
    }
  }
  indexes_.push_back(std::move(index));
  return indexes_.back().get();
}

void TStaticSet::IndexAdd(Record* rec) {
  for (size_t i = 0; i < indexes_.size(); ++i) {
    LookupIndex& index = *indexes_[i];
    const TField& field = Fields(index.field);
    auto& bucket = index.buckets[IndexKey(field.Shape(), rec->values[static_cast<size_t>(index.field)],
                                          index.caseInsensitive)];
    bucket.push_back(rec);
    if (bucket.size() > kMaxBucket) {
      // Too many equal values: searching walks the records instead.
      const size_t flag = static_cast<size_t>(index.field) * 2 + (index.caseInsensitive ? 1 : 0);
      if (unindexable_.size() <= flag) unindexable_.resize(flag + 1, false);
      unindexable_[flag] = true;
      indexes_.erase(indexes_.begin() + static_cast<std::ptrdiff_t>(i));
      --i;
    }
  }
}

void TStaticSet::IndexRemove(Record* rec) {
  for (auto& index : indexes_) {
    const TField& field = Fields(index->field);
    auto it = index->buckets.find(
        IndexKey(field.Shape(), rec->values[static_cast<size_t>(index->field)], index->caseInsensitive));
    if (it == index->buckets.end()) continue;
    auto& bucket = it->second;
    auto pos = std::find(bucket.begin(), bucket.end(), rec);
    if (pos != bucket.end()) {
      *pos = bucket.back();
      bucket.pop_back();
    }
    if (bucket.empty()) index->buckets.erase(it);
  }
}

TStaticSet::Record* TStaticSet::IndexLookup(const TField& field, bool caseInsensitive, const TNativeValue& want,
                                            bool& usable) {
  LookupIndex* index = IndexFor(field, caseInsensitive);
  usable = index != nullptr;
  if (!index) return nullptr;
  auto it = index->buckets.find(IndexKey(field.Shape(), want, caseInsensitive));
  if (it == index->buckets.end()) return nullptr;
  // The first visited one of the records with this value.
  Record* best = nullptr;
  for (Record* r : it->second)
    if (r->slot >= 0 && (!best || r->slot < best->slot)) best = r;
  return best;
}

bool TStaticSet::InternalLocate(const std::vector<TField*>& fields, const std::vector<TNativeValue>& values,
                                const TVarValues& raw, TLocateOptions options) {
  if (fields.size() == 1 && !options.PartialKey) {
    const TField& f = *fields[0];
    const bool ci = options.CaseInsensitive && IsTextType(f.DataType());
    // A value given that the field's form cannot hold matches nothing.
    if (!raw[0].IsNull() && !values[0]) return false;
    bool usable = false;
    Record* found = IndexLookup(f, ci, raw[0].IsNull() ? TNativeValue() : values[0], usable);
    if (usable) {
      if (!found) return false;
      SetCursorSlot(static_cast<size_t>(found->slot));
      return true;
    }
  }
  std::vector<std::string> foldedWant(fields.size());
  for (size_t k = 0; k < fields.size(); ++k)
    if (values[k] && options.CaseInsensitive && IsTextType(fields[k]->DataType())) foldedWant[k] = UpperCase(*values[k]);
  for (size_t i = 0; i < view_.size(); ++i) {
    if (!view_[i]) continue;
    const Record& r = *view_[i];
    bool all = true;
    for (size_t k = 0; k < fields.size() && all; ++k) {
      const TField& f = *fields[k];
      const auto& have = r.values[static_cast<size_t>(f.Index())];
      if (options.CaseInsensitive && IsTextType(f.DataType()) && !raw[k].IsNull()) {
        if (!have || !values[k]) {
          all = false;
          continue;
        }
        const std::string& h = Folded(r, f.Index());
        const std::string& w = foldedWant[k];
        all = options.PartialKey ? h.compare(0, w.size(), w) == 0 && h.size() >= w.size() : h == w;
      } else {
        all = ValueMatches(f, have, values[k], raw[k], options);
      }
    }
    if (all) {
      SetCursorSlot(i);
      return true;
    }
  }
  return false;
}

bool TStaticSet::FindByKey(const TVarValues& values) {
  CheckBrowseMode();
  std::vector<TField*> keys = FieldList(keyFieldNames_);
  if (keys.empty()) throw Exception(kNoKeyFields);
  if (keys.size() != values.size())
    throw Exception(Format(kKeyValueCount, static_cast<int>(values.size()), static_cast<int>(keys.size())));
  std::vector<TNativeValue> want;
  try {
    for (size_t k = 0; k < keys.size(); ++k) want.push_back(NativeFromVar(SearchShape(*keys[k]), values[k]));
  } catch (const Exception&) {
    return false;
  }
  auto found = [this](size_t slot) {
    SetCursorSlot(slot);
    bof_ = eof_ = false;
    return true;
  };
  if (keys.size() == 1) {
    bool usable = false;
    Record* r = IndexLookup(*keys[0], false, want[0], usable);
    if (usable) return r ? found(static_cast<size_t>(r->slot)) : false;
  }
  auto cmpKey = [&](const Record* r) {
    for (size_t k = 0; k < keys.size(); ++k) {
      const auto& have = r->values[static_cast<size_t>(keys[k]->Index())];
      if (!have || !want[k]) {
        if (have.has_value() != want[k].has_value()) return have.has_value() ? 1 : -1;
        continue;
      }
      int c = CompareNative(keys[k]->Shape(), *have, *want[k]);
      if (c != 0) return c;
    }
    return 0;
  };
  bool indexed = sorted_ && indexFields_.size() >= keys.size() &&
                 std::equal(keys.begin(), keys.end(), indexFields_.begin());
  if (indexed) {
    CompactView();
    auto it = std::lower_bound(view_.begin(), view_.end(), 0,
                               [&](const Record* r, int) { return cmpKey(r) < 0; });
    if (it != view_.end() && cmpKey(*it) == 0) return found(static_cast<size_t>(it - view_.begin()));
    return false;
  }
  for (size_t i = 0; i < view_.size(); ++i)
    if (view_[i] && cmpKey(view_[i]) == 0) return found(i);
  return false;
}

void TStaticSet::SetIndexFieldNames(std::string_view names) {
  std::string old = indexFieldNames_;
  indexFieldNames_ = std::string(names);
  if (Active() && sorted_) {
    CheckBrowseMode();
    const Record* keep = live_ == 0 ? nullptr : view_[curSlot_];
    try {
      ResolveSettings();
    } catch (...) {
      indexFieldNames_ = old;
      ResolveSettings();
      throw;
    }
    RebuildView(keep);
    Resync();
  }
}

void TStaticSet::SetSorted(bool sorted) {
  if (sorted == sorted_) return;
  sorted_ = sorted;
  if (Active()) {
    CheckBrowseMode();
    const Record* keep = live_ == 0 ? nullptr : view_[curSlot_];
    try {
      ResolveSettings();
    } catch (...) {
      sorted_ = !sorted;
      ResolveSettings();
      throw;
    }
    RebuildView(keep);
    Resync();
  }
}

void TStaticSet::SetFilter(std::string_view expression) {
  std::unique_ptr<FilterNode> tree;
  if (!Trim(expression).empty()) tree = FilterParser(expression).Parse();
  filterText_ = std::string(expression);
  filterTree_ = std::move(tree);
  if (Active() && filtered_) {
    CheckBrowseMode();
    ResolveSettings();
    RebuildView(nullptr);
    Resync();
  }
}

void TStaticSet::SetFiltered(bool filtered) {
  if (filtered == filtered_) return;
  filtered_ = filtered;
  if (Active()) {
    CheckBrowseMode();
    try {
      ResolveSettings();
    } catch (...) {
      filtered_ = !filtered;
      ResolveSettings();
      throw;
    }
    RebuildView(nullptr);
    Resync();
  }
}

void TStaticSet::SetFilterOptions(TFilterOptions options) {
  filterOptions_ = options;
  if (Active() && filtered_) {
    CheckBrowseMode();
    RebuildView(nullptr);
    Resync();
  }
}

void TStaticSet::CopyStructure(const TDataSet& source) {
  CheckInactive();
  ClearFields();
  for (int i = 0; i < source.FieldCount(); ++i) {
    const TField& s = source.Fields(i);
    TField& f = AddField(s.FieldName(), s.DataType(), s.Size());
    f.SetAttributes(s.Attributes());
    f.SetFieldKind(s.FieldKind());
  }
}

void TStaticSet::Assign(TDataSet& source) {
  if (&source == this) return;
  Close();
  CopyStructure(source);
  Params() = source.Params();
  Open();
  if (!source.Active()) return;
  source.CheckBrowseMode();
  int savedRecNo = source.RecNo();
  const int n = FieldCount();
  for (source.First(); !source.Eof(); source.Next()) {
    auto r = std::make_unique<Record>();
    r->seq = nextSeq_++;
    r->values.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) r->values.push_back(source.Fields(i).Native());
    r->order = records_.size();
    records_.push_back(std::move(r));
  }
  if (savedRecNo > 0) source.SetRecNo(savedRecNo);
  RebuildView(nullptr);
  First();
}

}  // namespace ztv

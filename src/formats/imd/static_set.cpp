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

void TStaticSet::InternalOpen() {
  records_.clear();
  view_.clear();
  cur_ = 0;
  ResolveSettings();
}

void TStaticSet::InternalClose() {
  records_.clear();
  view_.clear();
  cur_ = 0;
  indexFields_.clear();
}

void TStaticSet::EmptyDataSet() {
  CheckActive();
  Cancel();
  records_.clear();
  view_.clear();
  cur_ = 0;
  Resync();
}

bool TStaticSet::InternalGoto(int index) {
  if (index < 0 || index >= static_cast<int>(view_.size())) return false;
  cur_ = index;
  return true;
}

TNativeValue TStaticSet::InternalGetValue(int field) {
  if (view_.empty()) return std::nullopt;
  return view_[static_cast<size_t>(cur_)]->values[static_cast<size_t>(field)];
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
  for (auto& r : records_)
    if (Passes(*r)) view_.push_back(r.get());
  if (sorted_ && !indexFields_.empty())
    std::sort(view_.begin(), view_.end(), [this](const Record* a, const Record* b) { return Less(a, b); });
  cur_ = 0;
  if (keep) {
    auto it = std::find(view_.begin(), view_.end(), keep);
    if (it != view_.end()) cur_ = static_cast<int>(it - view_.begin());
  }
}

bool TStaticSet::InternalPost(bool inserting, RecordValues&& values) {
  Record* rec;
  if (inserting) {
    auto r = std::make_unique<Record>();
    r->seq = nextSeq_++;
    rec = r.get();
    records_.push_back(std::move(r));
  } else {
    rec = view_[static_cast<size_t>(cur_)];
    // A sorted edit may move the record: take it out and put it back below.
    if (sorted_ && !indexFields_.empty()) view_.erase(view_.begin() + cur_);
  }
  rec->values = std::move(values);
  rec->folded.clear();

  bool passes = Passes(*rec);
  bool sorted = sorted_ && !indexFields_.empty();
  if (!inserting && !sorted) {
    // Unsorted edit: the record keeps its place unless the filter now hides it.
    if (passes) return true;
    view_.erase(view_.begin() + cur_);
    cur_ = std::min<int>(cur_, static_cast<int>(view_.size()) - 1);
    if (cur_ < 0) cur_ = 0;
    return false;
  }
  if (!passes) {
    cur_ = std::min<int>(cur_, static_cast<int>(view_.size()) - 1);
    if (cur_ < 0) cur_ = 0;
    return false;
  }
  std::vector<Record*>::iterator pos;
  if (sorted) {
    pos = std::lower_bound(view_.begin(), view_.end(), rec,
                           [this](const Record* a, const Record* b) { return Less(a, b); });
  } else {
    pos = view_.end();
  }
  pos = view_.insert(pos, rec);
  cur_ = static_cast<int>(pos - view_.begin());
  return true;
}

void TStaticSet::InternalDelete() {
  Record* rec = view_[static_cast<size_t>(cur_)];
  view_.erase(view_.begin() + cur_);
  auto it = std::lower_bound(records_.begin(), records_.end(), rec->seq,
                             [](const std::unique_ptr<Record>& r, uint64_t seq) { return r->seq < seq; });
  if (it != records_.end() && it->get() == rec) records_.erase(it);
  if (cur_ >= static_cast<int>(view_.size())) cur_ = std::max<int>(static_cast<int>(view_.size()) - 1, 0);
}

bool TStaticSet::InternalLocate(const std::vector<TField*>& fields, const std::vector<TNativeValue>& values,
                                const TVarValues& raw, TLocateOptions options) {
  std::vector<std::string> foldedWant(fields.size());
  for (size_t k = 0; k < fields.size(); ++k)
    if (values[k] && options.CaseInsensitive && IsTextType(fields[k]->DataType())) foldedWant[k] = UpperCase(*values[k]);
  for (size_t i = 0; i < view_.size(); ++i) {
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
      cur_ = static_cast<int>(i);
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
  int found = -1;
  if (indexed) {
    auto it = std::lower_bound(view_.begin(), view_.end(), 0,
                               [&](const Record* r, int) { return cmpKey(r) < 0; });
    if (it != view_.end() && cmpKey(*it) == 0) found = static_cast<int>(it - view_.begin());
  } else {
    for (size_t i = 0; i < view_.size(); ++i)
      if (cmpKey(view_[i]) == 0) {
        found = static_cast<int>(i);
        break;
      }
  }
  if (found < 0) return false;
  cur_ = found;
  bof_ = eof_ = false;
  return true;
}

void TStaticSet::SetIndexFieldNames(std::string_view names) {
  std::string old = indexFieldNames_;
  indexFieldNames_ = std::string(names);
  if (Active() && sorted_) {
    CheckBrowseMode();
    const Record* keep = view_.empty() ? nullptr : view_[static_cast<size_t>(cur_)];
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
    const Record* keep = view_.empty() ? nullptr : view_[static_cast<size_t>(cur_)];
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
    records_.push_back(std::move(r));
  }
  if (savedRecNo > 0) source.SetRecNo(savedRecNo);
  RebuildView(nullptr);
  First();
}

}  // namespace ztv

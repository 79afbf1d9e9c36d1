#include "world/query.h"

#include <cwctype>

namespace sim::query {

struct Node {
  enum class Op { And, Or, Not, IsNull, IsNotNull, Eq, Ne, Like } op;
  std::shared_ptr<const Node> left, right;  // And, Or; left for Not
  std::wstring name, literal;
};

namespace {

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

enum class Tok { End, Name, Literal, Word, LParen, RParen, Comma, Eq, Ne, Error };

class Lexer {
 public:
  explicit Lexer(std::wstring_view s) : s_(s) { Next(); }
  Tok kind() const { return kind_; }
  const std::wstring& text() const { return text_; }
  bool IsWord(std::wstring_view w) const { return kind_ == Tok::Word && EqualsNoCase(text_, w); }

  void Next() {
    while (pos_ < s_.size() && std::iswspace(s_[pos_])) ++pos_;
    text_.clear();
    if (pos_ >= s_.size()) { kind_ = Tok::End; return; }
    wchar_t c = s_[pos_];
    if (c == L'"') { kind_ = ReadQuoted(L'"') ? Tok::Name : Tok::Error; return; }
    if (c == L'\'') { kind_ = ReadQuoted(L'\'') ? Tok::Literal : Tok::Error; return; }
    ++pos_;
    switch (c) {
      case L'(': kind_ = Tok::LParen; return;
      case L')': kind_ = Tok::RParen; return;
      case L',': kind_ = Tok::Comma; return;
      case L'=': kind_ = Tok::Eq; return;
      case L'<':
        if (pos_ < s_.size() && s_[pos_] == L'>') { ++pos_; kind_ = Tok::Ne; return; }
        kind_ = Tok::Error;
        return;
      default: break;
    }
    if (!(std::iswalnum(c) || c == L'_')) { kind_ = Tok::Error; return; }
    text_.push_back(c);
    while (pos_ < s_.size() && (std::iswalnum(s_[pos_]) || s_[pos_] == L'_')) text_.push_back(s_[pos_++]);
    kind_ = Tok::Word;
  }

 private:
  // A quoted run; a doubled quote stands for one.
  bool ReadQuoted(wchar_t q) {
    ++pos_;
    while (pos_ < s_.size()) {
      wchar_t c = s_[pos_++];
      if (c != q) { text_.push_back(c); continue; }
      if (pos_ < s_.size() && s_[pos_] == q) { text_.push_back(q); ++pos_; continue; }
      return true;
    }
    return false;
  }

  std::wstring_view s_;
  size_t pos_ = 0;
  Tok kind_ = Tok::End;
  std::wstring text_;
};

class Parser {
 public:
  explicit Parser(std::wstring_view s) : lex_(s) {}

  bool Run(Parsed* out) {
    if (lex_.IsWord(L"select")) {
      lex_.Next();
      if (!SelectList(&out->columns)) return false;
      if (!lex_.IsWord(L"from")) return Fail(L"FROM expected");
      lex_.Next();
      if (lex_.kind() != Tok::Word) return Fail(L"table name expected");
      lex_.Next();
      if (lex_.kind() == Tok::End) return true;
      if (!lex_.IsWord(L"where")) return Fail(L"WHERE expected");
      lex_.Next();
    }
    if (lex_.kind() == Tok::End) return out->columns.empty() ? Fail(L"empty condition") : Fail(L"condition expected");
    out->where = Or();
    if (!out->where) return false;
    return lex_.kind() == Tok::End || Fail(L"text after the condition");
  }

  std::wstring error;

 private:
  bool Fail(const wchar_t* why) { if (error.empty()) error = why; return false; }
  std::shared_ptr<const Node> Null(const wchar_t* why) { Fail(why); return nullptr; }

  bool SelectList(std::vector<std::wstring>* columns) {
    for (;;) {
      if (lex_.kind() != Tok::Name) return Fail(L"quoted column name expected");
      columns->push_back(lex_.text());
      lex_.Next();
      if (lex_.kind() != Tok::Comma) return true;
      lex_.Next();
    }
  }

  std::shared_ptr<const Node> Binary(Node::Op op, std::shared_ptr<const Node> l, std::shared_ptr<const Node> r) {
    auto n = std::make_shared<Node>();
    n->op = op;
    n->left = std::move(l);
    n->right = std::move(r);
    return n;
  }

  std::shared_ptr<const Node> Or() {
    auto left = And();
    while (left && lex_.IsWord(L"or")) {
      lex_.Next();
      auto right = And();
      if (!right) return nullptr;
      left = Binary(Node::Op::Or, left, right);
    }
    return left;
  }

  std::shared_ptr<const Node> And() {
    auto left = Factor();
    while (left && lex_.IsWord(L"and")) {
      lex_.Next();
      auto right = Factor();
      if (!right) return nullptr;
      left = Binary(Node::Op::And, left, right);
    }
    return left;
  }

  std::shared_ptr<const Node> Factor() {
    if (lex_.kind() == Tok::LParen) {
      lex_.Next();
      auto inner = Or();
      if (!inner) return nullptr;
      if (lex_.kind() != Tok::RParen) return Null(L"')' expected");
      lex_.Next();
      return inner;
    }
    if (lex_.IsWord(L"not")) {
      lex_.Next();
      auto inner = Factor();
      return inner ? Binary(Node::Op::Not, inner, nullptr) : nullptr;
    }
    return Comparison();
  }

  std::shared_ptr<const Node> Comparison() {
    if (lex_.kind() != Tok::Name) return Null(L"quoted property name expected");
    auto n = std::make_shared<Node>();
    n->name = lex_.text();
    lex_.Next();
    if (lex_.IsWord(L"is")) {
      lex_.Next();
      n->op = Node::Op::IsNull;
      if (lex_.IsWord(L"not")) { n->op = Node::Op::IsNotNull; lex_.Next(); }
      if (!lex_.IsWord(L"null")) return Null(L"NULL expected");
      lex_.Next();
      return n;
    }
    if (lex_.kind() == Tok::Eq) n->op = Node::Op::Eq;
    else if (lex_.kind() == Tok::Ne) n->op = Node::Op::Ne;
    else if (lex_.IsWord(L"like")) n->op = Node::Op::Like;
    else return Null(L"operator expected");
    lex_.Next();
    if (lex_.kind() == Tok::Literal || lex_.kind() == Tok::Word) n->literal = lex_.text();
    else return Null(L"literal expected");
    lex_.Next();
    return n;
  }

  Lexer lex_;
};

bool ScalarEquals(const Value& v, const std::wstring& lit) {
  switch (v.type) {
    case ValueType::String: return EqualsNoCase(v.str, lit);
    case ValueType::Binary: {
      Bytes b;
      return FromHex(lit, &b) && b == v.bin;
    }
    case ValueType::Long: return lit == std::to_wstring(v.num);
    case ValueType::Bool:
      return (v.num != 0) == (lit == L"1" || EqualsNoCase(lit, L"true")) &&
             (lit == L"0" || lit == L"1" || EqualsNoCase(lit, L"true") || EqualsNoCase(lit, L"false"));
    case ValueType::StringList:
      for (const auto& s : v.list) {
        if (EqualsNoCase(s, lit)) return true;
      }
      return false;
    default: return false;
  }
}

bool LikeValue(const Value& v, const std::wstring& pattern) {
  if (v.type == ValueType::String) return Like(v.str, pattern);
  if (v.type == ValueType::StringList) {
    for (const auto& s : v.list) {
      if (Like(s, pattern)) return true;
    }
  }
  return false;
}

bool IsNullValue(const Value& v) {
  return v.type == ValueType::Empty || v.type == ValueType::Error ||
         (v.type == ValueType::StringList && v.list.empty());
}

bool Eval(const Node& n, const Reader& read) {
  switch (n.op) {
    case Node::Op::And: return Eval(*n.left, read) && Eval(*n.right, read);
    case Node::Op::Or: return Eval(*n.left, read) || Eval(*n.right, read);
    case Node::Op::Not: return !Eval(*n.left, read);
    default: break;
  }
  Value v = read(n.name);
  switch (n.op) {
    case Node::Op::IsNull: return IsNullValue(v);
    case Node::Op::IsNotNull: return !IsNullValue(v);
    case Node::Op::Eq: return ScalarEquals(v, n.literal);
    case Node::Op::Ne: return !IsNullValue(v) && !ScalarEquals(v, n.literal);
    case Node::Op::Like: return LikeValue(v, n.literal);
    default: return false;
  }
}

}  // namespace

bool Parse(std::wstring_view text, Parsed* out, std::wstring* error) {
  Parser p(text);
  Parsed result;
  if (!p.Run(&result)) {
    if (error) *error = p.error;
    return false;
  }
  *out = std::move(result);
  return true;
}

bool Matches(const Parsed& q, const Reader& read) { return !q.where || Eval(*q.where, read); }

bool IsSimpleEquality(const Parsed& q, std::wstring* name, std::wstring* literal) {
  if (!q.where || q.where->op != Node::Op::Eq) return false;
  *name = q.where->name;
  *literal = q.where->literal;
  return true;
}

namespace {

// The pattern element at `p` against one character: "_", a set in brackets
// ("[%]" stands for a literal %), or a character (without case). Sets *width
// to the element's length; 0 when it does not match.
bool MatchOne(std::wstring_view pattern, size_t p, wchar_t c, size_t* width) {
  *width = 1;
  if (pattern[p] == L'_') return true;
  if (pattern[p] == L'[') {
    const size_t close = pattern.find(L']', p + 2);
    if (close != std::wstring_view::npos) {
      *width = close - p + 1;
      for (size_t i = p + 1; i < close; ++i)
        if (std::towlower(pattern[i]) == std::towlower(c)) return true;
      return false;
    }
  }
  return std::towlower(pattern[p]) == std::towlower(c);
}

}  // namespace

bool Like(std::wstring_view text, std::wstring_view pattern) {
  // Iterative wildcard match with backtracking to the last %.
  size_t t = 0, p = 0, starP = std::wstring_view::npos, starT = 0, width = 1;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] != L'%' && MatchOne(pattern, p, text[t], &width)) {
      ++t;
      p += width;
    } else if (p < pattern.size() && pattern[p] == L'%') {
      starP = p++;
      starT = t;
    } else if (starP != std::wstring_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'%') ++p;
  return p == pattern.size();
}

std::vector<std::wstring> ConditionNames(const Parsed& q) {
  std::vector<std::wstring> names;
  std::function<void(const Node*)> walk = [&](const Node* n) {
    if (!n) return;
    if (!n->name.empty()) names.push_back(n->name);
    walk(n->left.get());
    walk(n->right.get());
  };
  walk(q.where.get());
  return names;
}

}  // namespace sim::query

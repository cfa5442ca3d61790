// String functions of the library.
#include <algorithm>

#include "engine/errors.h"
#include "engine/sql/fn_impl.h"
#include "engine/sql/text.h"

namespace tillbase::engine::sql {
namespace {

using Args = std::vector<TypeInfo>;

TypeInfo Nth(const Args& a, size_t i) { return i < a.size() ? a[i] : IntType(); }

bool IsBinaryType(SqlType t) { return StorageOf(t) == Storage::kBlob; }

TypeInfo TextOfArg(const Args& a) { return TextResultOf(Nth(a, 0)); }

TypeInfo LongText(const Args& a) {
  bool unicode = false, max = false;
  for (const TypeInfo& t : a) {
    unicode = unicode || IsUnicode(t.type);
    max = max || (IsCharType(t.type) && t.length < 0) || t.type == SqlType::kText ||
          t.type == SqlType::kNText;
  }
  if (unicode) return MakeType(SqlType::kNVarChar, max ? -1 : 8000);
  return VarCharType(max ? -1 : 8000);
}

TypeInfo IntResult(const Args&) { return IntType(); }

Stored Null() { return Stored::Null(); }

bool AnyNull(const Call& c) {
  for (int i = 0; i < c.argc; ++i) {
    if (c.IsNullArg(i)) return true;
  }
  return false;
}

Stored Len(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  if (IsBinaryType(c.Type(0).type)) return Stored::Int(static_cast<int64_t>(c.Arg(0).s.size()));
  return Stored::Int(static_cast<int64_t>(CodePointCount(TrimTrailingBlanks(c.Text(0)))));
}

Stored DataLength(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  TypeInfo t = c.Type(0);
  switch (StorageOf(t.type)) {
    case Storage::kText: {
      std::string s = c.Arg(0).kind == Stored::kText ? c.Arg(0).s : c.Text(0);
      int64_t n = 0;
      for (char32_t cp : DecodeUtf8(s)) {
        if (IsUnicode(t.type)) {
          n += cp >= 0x10000 ? 4 : 2;
        } else {
          n += cp < 0x80 ? 1 : 2;  // a double-byte code page holds the rest in two bytes
        }
      }
      return Stored::Int(n);
    }
    case Storage::kBlob:
      return Stored::Int(static_cast<int64_t>(c.Arg(0).s.size()));
    case Storage::kGuid:
      return Stored::Int(16);
    case Storage::kDate:
      return Stored::Int(t.type == SqlType::kDate ? 3 : t.type == SqlType::kSmallDateTime ? 4 : 8);
    case Storage::kReal:
      return Stored::Int(t.type == SqlType::kReal ? 4 : 8);
    case Storage::kInt:
      switch (t.type) {
        case SqlType::kBit:
        case SqlType::kTinyInt:
          return Stored::Int(1);
        case SqlType::kSmallInt:
          return Stored::Int(2);
        case SqlType::kInt:
          return Stored::Int(4);
        default:
          return Stored::Int(8);
      }
    case Storage::kScaled:
      if (t.type == SqlType::kMoney) return Stored::Int(8);
      if (t.type == SqlType::kSmallMoney) return Stored::Int(4);
      return Stored::Int(t.precision <= 9    ? 5
                         : t.precision <= 19 ? 9
                         : t.precision <= 28 ? 13
                                             : 17);
  }
  return Null();
}

Stored LTrim(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  return Stored::Text(std::string(TrimLeadingBlanks(c.Text(0))));
}

Stored RTrim(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  return Stored::Text(std::string(TrimTrailingBlanks(c.Text(0))));
}

Stored Upper(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  return Stored::Text(ToUpper(c.Text(0)));
}

Stored Lower(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  return Stored::Text(ToLower(c.Text(0)));
}

// Characters [from, from + count) of s, 0-based, clamped to s.
template <typename Seq>
Seq Slice(const Seq& s, int64_t from, int64_t count) {
  int64_t n = static_cast<int64_t>(s.size());
  int64_t a = std::clamp<int64_t>(from, 0, n);
  int64_t b = std::clamp<int64_t>(from + count, 0, n);
  if (b <= a) return Seq();
  return Seq(s.begin() + a, s.begin() + b);
}

Stored Substring(const Call& c) {
  if (AnyNull(c)) return Null();
  int64_t start = c.Int(1), len = c.Int(2);
  if (len < 0) {
    throw MakeError(537, 16, 1, "Invalid length parameter passed to the substring function.");
  }
  // A start before 1 still counts its positions toward the length.
  if (IsBinaryType(c.Type(0).type)) return Stored::Blob(Slice(c.Arg(0).s, start - 1, len));
  return Stored::Text(EncodeUtf8(Slice(DecodeUtf8(c.Text(0)), start - 1, len)));
}

Stored Left(const Call& c) {
  if (AnyNull(c)) return Null();
  int64_t n = c.Int(1);
  if (n < 0) throw MakeError(536, 16, 1, "Invalid length parameter passed to the left function.");
  return Stored::Text(std::string(PrefixCodePoints(c.Text(0), static_cast<size_t>(n))));
}

Stored Right(const Call& c) {
  if (AnyNull(c)) return Null();
  int64_t n = c.Int(1);
  if (n < 0) throw MakeError(536, 16, 1, "Invalid length parameter passed to the right function.");
  std::vector<char32_t> s = DecodeUtf8(c.Text(0));
  int64_t size = static_cast<int64_t>(s.size());
  return Stored::Text(EncodeUtf8(Slice(s, size - n, n)));
}

Stored Replace(const Call& c) {
  if (AnyNull(c)) return Null();
  std::vector<char32_t> s = DecodeUtf8(c.Text(0)), f = DecodeUtf8(c.Text(1));
  std::string repl = c.Text(2);
  if (f.empty()) return Stored::Text(c.Text(0));
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t k = 0;
    while (k < f.size() && i + k < s.size() && FoldCase(s[i + k]) == FoldCase(f[k])) ++k;
    if (k == f.size()) {
      out += repl;
      i += f.size();
    } else {
      AppendUtf8(out, s[i]);
      ++i;
    }
  }
  return Stored::Text(out);
}

Stored CharIndex(const Call& c) {
  if (c.IsNullArg(0) || c.IsNullArg(1)) return Null();
  int64_t start = 1;
  if (c.argc > 2 && !c.IsNullArg(2)) start = c.Int(2);
  return Stored::Int(FindText(c.Text(1), c.Text(0), start));
}

Stored PatIndex(const Call& c) {
  if (AnyNull(c)) return Null();
  std::string pattern = c.Text(0);
  std::vector<char32_t> s = DecodeUtf8(c.Text(1));
  bool anywhere = !pattern.empty() && pattern[0] == '%';
  std::string rest = anywhere ? pattern.substr(1) : pattern;
  for (size_t i = 0; i <= s.size(); ++i) {
    std::string tail = EncodeUtf8(std::vector<char32_t>(s.begin() + i, s.end()));
    if (LikeMatch(tail, rest)) return Stored::Int(static_cast<int64_t>(i) + 1);
    if (!anywhere) break;
  }
  return Stored::Int(0);
}

Stored Space(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  int64_t n = c.Int(0);
  if (n < 0) return Null();
  return Stored::Text(std::string(static_cast<size_t>(std::min<int64_t>(n, 8000)), ' '));
}

Stored Replicate(const Call& c) {
  if (AnyNull(c)) return Null();
  int64_t n = c.Int(1);
  if (n < 0) return Null();
  std::string s = c.Text(0), out;
  const size_t kLimit = 100 * 1024 * 1024;  // a runaway count must not take the process down
  for (int64_t i = 0; i < n && out.size() < kLimit; ++i) out += s;
  TypeInfo t = c.Type(0);
  bool max = IsCharType(t.type) && t.length < 0;
  if (!max) {
    size_t chars = IsUnicode(t.type) ? 4000 : 8000;
    out = std::string(PrefixCodePoints(out, chars));
  }
  return Stored::Text(out);
}

Stored Reverse(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  std::vector<char32_t> s = DecodeUtf8(c.Text(0));
  std::reverse(s.begin(), s.end());
  return Stored::Text(EncodeUtf8(s));
}

Stored Stuff(const Call& c) {
  if (c.IsNullArg(0) || c.IsNullArg(1) || c.IsNullArg(2)) return Null();
  std::vector<char32_t> s = DecodeUtf8(c.Text(0));
  int64_t start = c.Int(1), len = c.Int(2);
  int64_t n = static_cast<int64_t>(s.size());
  if (start < 1 || start > n || len < 0) return Null();
  std::string repl = c.IsNullArg(3) ? std::string() : c.Text(3);
  std::string out =
      EncodeUtf8(Slice(s, 0, start - 1)) + repl + EncodeUtf8(Slice(s, start - 1 + len, n));
  return Stored::Text(out);
}

Stored Ascii(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  std::string s = c.Text(0);
  if (s.empty()) return Null();
  return Stored::Int(static_cast<unsigned char>(s[0]));
}

Stored Unicode(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  std::vector<char32_t> s = DecodeUtf8(c.Text(0));
  if (s.empty()) return Null();
  return Stored::Int(static_cast<int64_t>(s[0]));
}

Stored CharFn(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  int64_t n = c.Int(0);
  if (n < 0 || n > 255) return Null();
  std::string out;
  AppendUtf8(out, static_cast<char32_t>(n));
  return Stored::Text(out);
}

Stored NCharFn(const Call& c) {
  if (c.IsNullArg(0)) return Null();
  int64_t n = c.Int(0);
  if (n < 0 || n > 0x10FFFF) return Null();
  std::string out;
  AppendUtf8(out, static_cast<char32_t>(n));
  return Stored::Text(out);
}

}  // namespace

void AddStringBuiltins(std::vector<Builtin>& t) {
  auto add = [&](std::string_view name, std::string_view sqlite, int min, int max,
                 TypeInfo (*rt)(const Args&), Impl impl) {
    t.push_back({{name, sqlite, FunctionKind::kScalar, min, max, false, true, rt}, impl});
  };
  add("LEN", "tsql_len", 1, 1, IntResult, Len);
  add("DATALENGTH", "tsql_datalength", 1, 1, IntResult, DataLength);
  add("LTRIM", "tsql_ltrim", 1, 1, TextOfArg, LTrim);
  add("RTRIM", "tsql_rtrim", 1, 1, TextOfArg, RTrim);
  add("UPPER", "tsql_upper", 1, 1, TextOfArg, Upper);
  add("LOWER", "tsql_lower", 1, 1, TextOfArg, Lower);
  add(
      "SUBSTRING", "tsql_substring", 3, 3,
      [](const Args& a) {
        TypeInfo s = Nth(a, 0);
        if (IsBinaryType(s.type)) return MakeType(SqlType::kVarBinary, s.length);
        return TextResultOf(s);
      },
      Substring);
  add("LEFT", "tsql_left", 2, 2, TextOfArg, Left);
  add("RIGHT", "tsql_right", 2, 2, TextOfArg, Right);
  add("REPLACE", "tsql_replace", 3, 3, LongText, Replace);
  add("CHARINDEX", "tsql_charindex", 2, 3, IntResult, CharIndex);
  add("PATINDEX", "tsql_patindex", 2, 2, IntResult, PatIndex);
  add(
      "SPACE", "tsql_space", 1, 1, [](const Args&) { return VarCharType(8000); }, Space);
  add(
      "REPLICATE", "tsql_replicate", 2, 2, [](const Args& a) { return LongText({Nth(a, 0)}); },
      Replicate);
  add("REVERSE", "tsql_reverse", 1, 1, TextOfArg, Reverse);
  add(
      "STUFF", "tsql_stuff", 4, 4,
      [](const Args& a) {
        return LongText({Nth(a, 0), Nth(a, 3)});
      },
      Stuff);
  add("ASCII", "tsql_ascii", 1, 1, IntResult, Ascii);
  add("UNICODE", "tsql_unicode", 1, 1, IntResult, Unicode);
  add(
      "CHAR", "tsql_char", 1, 1, [](const Args&) { return MakeType(SqlType::kChar, 1); }, CharFn);
  add(
      "NCHAR", "tsql_nchar", 1, 1, [](const Args&) { return MakeType(SqlType::kNChar, 2); },
      NCharFn);
}

}  // namespace tillbase::engine::sql

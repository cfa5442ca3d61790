#include "engine/sql/text.h"

namespace tillbase::engine::sql {
namespace {

// Reads one code point at s[i], advancing i; malformed bytes are taken as
// themselves so that no input is lost.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
  if (extra <= 0 || i + extra >= s.size()) {
    ++i;
    return c;
  }
  char32_t cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) {
      ++i;
      return c;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  i += extra + 1;
  return cp;
}

}  // namespace

std::vector<char32_t> DecodeUtf8(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(NextCodePoint(s, i));
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string EncodeUtf8(const std::vector<char32_t>& cps) {
  std::string out;
  out.reserve(cps.size());
  for (char32_t c : cps) AppendUtf8(out, c);
  return out;
}

size_t CodePointCount(std::string_view s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    NextCodePoint(s, i);
    ++n;
  }
  return n;
}

std::string_view PrefixCodePoints(std::string_view s, size_t n) {
  size_t i = 0;
  for (size_t k = 0; k < n && i < s.size(); ++k) NextCodePoint(s, i);
  return s.substr(0, i);
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x138 && c != 0x149 && c != 0x17F) {
    bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_upper) return (c % 2 == 1) ? c + 1 : c;
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 32;  // full-width Latin
  return c;
}

char32_t UpperCase(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c >= 0x100 && c <= 0x17F && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_upper) return (c % 2 == 0) ? c - 1 : c;
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 32;
  return c;
}

std::string ToUpper(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) AppendUtf8(out, UpperCase(NextCodePoint(s, i)));
  return out;
}

std::string ToLower(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) AppendUtf8(out, FoldCase(NextCodePoint(s, i)));
  return out;
}

std::string_view TrimTrailingBlanks(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}

std::string_view TrimLeadingBlanks(std::string_view s) {
  size_t n = 0;
  while (n < s.size() && s[n] == ' ') ++n;
  return s.substr(n);
}

int CompareText(std::string_view a, std::string_view b) {
  a = TrimTrailingBlanks(a);
  b = TrimTrailingBlanks(b);
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[j]);
    if (ca < 0x80 && cb < 0x80) {  // the common case without decoding
      char32_t fa = FoldCase(ca), fb = FoldCase(cb);
      if (fa != fb) return fa < fb ? -1 : 1;
      ++i;
      ++j;
      continue;
    }
    char32_t fa = FoldCase(NextCodePoint(a, i));
    char32_t fb = FoldCase(NextCodePoint(b, j));
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

namespace {

bool LikeAt(const std::vector<char32_t>& v, size_t vi, const std::vector<char32_t>& p, size_t pi,
            char32_t escape, int depth) {
  while (pi < p.size()) {
    char32_t c = p[pi];
    if (escape != 0 && c == escape && pi + 1 < p.size()) {
      if (vi >= v.size() || FoldCase(v[vi]) != FoldCase(p[pi + 1])) return false;
      ++vi;
      pi += 2;
      continue;
    }
    if (c == '%') {
      while (pi < p.size() && p[pi] == '%') ++pi;
      if (pi == p.size()) return true;
      if (depth > 64) return false;  // bounds the work of pathological patterns
      for (size_t k = vi; k <= v.size(); ++k) {
        if (LikeAt(v, k, p, pi, escape, depth + 1)) return true;
      }
      return false;
    }
    if (vi >= v.size()) return false;
    if (c == '_') {
      ++vi;
      ++pi;
      continue;
    }
    if (c == '[') {
      size_t close = pi + 1;
      if (close < p.size() && p[close] == '^') ++close;
      if (close < p.size() && p[close] == ']') ++close;
      while (close < p.size() && p[close] != ']') ++close;
      if (close < p.size()) {
        size_t k = pi + 1;
        bool negate = false;
        if (p[k] == '^') {
          negate = true;
          ++k;
        }
        bool hit = false;
        char32_t ch = FoldCase(v[vi]);
        for (; k < close; ++k) {
          if (k + 2 < close && p[k + 1] == '-') {
            char32_t lo = FoldCase(p[k]), hi = FoldCase(p[k + 2]);
            if (ch >= lo && ch <= hi) hit = true;
            k += 2;
          } else if (FoldCase(p[k]) == ch) {
            hit = true;
          }
        }
        if (hit == negate) return false;
        ++vi;
        pi = close + 1;
        continue;
      }
      // An unclosed bracket is an ordinary character.
    }
    if (FoldCase(v[vi]) != FoldCase(c)) return false;
    ++vi;
    ++pi;
  }
  // Trailing blanks of the value do not spoil a match.
  while (vi < v.size() && v[vi] == ' ') ++vi;
  return vi == v.size();
}

}  // namespace

bool LikeMatch(std::string_view value, std::string_view pattern, char32_t escape) {
  return LikeAt(DecodeUtf8(value), 0, DecodeUtf8(pattern), 0, escape, 0);
}

int64_t FindText(std::string_view hay, std::string_view needle, int64_t start) {
  std::vector<char32_t> h = DecodeUtf8(hay), n = DecodeUtf8(needle);
  if (start < 1) start = 1;
  if (n.empty()) return 0;
  for (size_t i = static_cast<size_t>(start - 1); i + n.size() <= h.size(); ++i) {
    size_t k = 0;
    while (k < n.size() && FoldCase(h[i + k]) == FoldCase(n[k])) ++k;
    if (k == n.size()) return static_cast<int64_t>(i) + 1;
  }
  return 0;
}

}  // namespace tillbase::engine::sql

#include "rpc/json_writer.h"

#include <boost/json/detail/config.hpp>
#include <boost/json/detail/format.hpp>
#include <charconv>
#include <cstring>

namespace tillbase::rpc {
namespace {

// 0: copied as is; 'u': \u00XX; else the letter after the backslash.
constexpr char kEscape[256] = {
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n', 'u', 'f', 'r', 'u', 'u', 'u', 'u', 'u',
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 0,   0,   '"', 0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '\\'};

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < text.size(); ++i) {
    char c = kEscape[static_cast<unsigned char>(text[i])];
    if (c == 0) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    if (c != 'u') {
      out.push_back(c);
    } else {
      unsigned char b = static_cast<unsigned char>(text[i]);
      out.append("u00", 3);
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

void AppendJsonDouble(std::string& out, double value) {
  char buffer[boost::json::detail::max_number_chars + 1];
  unsigned n = boost::json::detail::format_double(buffer, value);
  out.append(buffer, n);
}

void AppendJsonInt(std::string& out, int64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, static_cast<size_t>(end - buffer));
}

JsonPiece& JsonPiece::Put(std::string_view text) {
  std::memcpy(end_, text.data(), text.size());
  end_ += text.size();
  return *this;
}

JsonPiece& JsonPiece::Int(int64_t value) {
  end_ = std::to_chars(end_, buffer_ + kCapacity, value).ptr;
  return *this;
}

JsonPiece& JsonPiece::Double(double value) {
  end_ += boost::json::detail::format_double(end_, value);
  return *this;
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace tillbase::rpc

#include "rpc/json_parse.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <string>

namespace tillbase::rpc {
namespace json = boost::json;
namespace {

// The double a number's text stands for, where one exact operation gives
// it: the significant digits form an integer of at most 2^53 and the power
// of ten is exact (up to 1e22), so a single multiplication or division
// rounds correctly. False for anything else (from_chars then reads it).
// Doubles in answers, written shortest, nearly all take this way.
bool FastExactDouble(std::string_view s, double& out) {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  size_t i = 0;
  const bool negative = i < s.size() && s[i] == '-';
  if (negative) ++i;
  uint64_t mantissa = 0;
  int digits = 0;
  int exponent = 0;
  auto is_digit = [&](size_t at) { return at < s.size() && s[at] >= '0' && s[at] <= '9'; };
  auto take = [&](char c) {
    if (mantissa == 0 && c == '0') return true;  // leading zeros do not count
    if (++digits > 19) return false;
    mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
    return true;
  };
  for (; is_digit(i); ++i) {
    if (!take(s[i])) return false;
  }
  if (i < s.size() && s[i] == '.') {
    for (++i; is_digit(i); ++i) {
      if (!take(s[i])) return false;
      --exponent;
    }
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool minus = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    int e = 0;
    int e_digits = 0;
    for (; is_digit(i); ++i) {
      if (++e_digits > 4) return false;
      e = e * 10 + (s[i] - '0');
    }
    if (e_digits == 0) return false;
    exponent += minus ? -e : e;
  }
  if (i != s.size() || mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) {
    return false;
  }
  double value = static_cast<double>(mantissa);
  value = exponent < 0 ? value / kPowers[-exponent] : value * kPowers[exponent];
  out = negative ? -value : value;
  return true;
}

// Builds a value as Boost.JSON's own handler does, but takes doubles from
// their text with std::from_chars, which is correctly rounded.
struct ExactHandler {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  json::value_stack st;
  std::string number;

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_object_begin(json::error_code&) { return true; }
  bool on_object_end(std::size_t n, json::error_code&) {
    st.push_object(n);
    return true;
  }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) {
    st.push_array(n);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    st.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code&) {
    st.push_key(s);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    st.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, json::error_code&) {
    st.push_string(s);
    return true;
  }
  bool on_number_part(json::string_view s, json::error_code&) {
    number.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
    number.clear();
    st.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    number.clear();
    st.push_uint64(u);
    return true;
  }
  bool on_double(double d, json::string_view s, json::error_code&) {
    std::string_view text(s.data(), s.size());
    if (!number.empty()) {  // the number came in parts
      number.append(s.data(), s.size());
      text = number;
    }
    double exact = d;
    if (!FastExactDouble(text, exact)) {
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), exact);
      // Out of range: keep the parser's infinity or zero.
      if (ec != std::errc() || end != text.data() + text.size()) exact = d;
    }
    number.clear();
    st.push_double(exact);
    return true;
  }
  bool on_bool(bool b, json::error_code&) {
    st.push_bool(b);
    return true;
  }
  bool on_null(json::error_code&) {
    st.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }
};

}  // namespace

json::value ParseJson(std::string_view text, std::size_t max_depth, json::storage_ptr storage) {
  json::parse_options options;
  options.max_depth = max_depth;
  json::basic_parser<ExactHandler> parser(options);
  parser.handler().st.reset(std::move(storage));
  json::error_code ec;
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used != text.size()) ec = json::error::extra_data;
  if (ec) {
    throw JsonError("malformed JSON at offset " + std::to_string(used) + ": " + ec.message());
  }
  return parser.handler().st.release();
}

}  // namespace tillbase::rpc

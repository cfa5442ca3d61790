#include "rpc/json_parse.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <string>

namespace tillbase::rpc {
namespace json = boost::json;
namespace {

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
    number.append(s.data(), s.size());
    double exact = d;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), exact);
    // Out of range: keep the parser's infinity or zero.
    if (ec != std::errc() || end != number.data() + number.size()) exact = d;
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

// JSON parsing for the wire protocol. Numbers with a fraction or exponent are
// read back exactly (the shortest text of a double parses to that double),
// which the variant codec's round trips rely on.
#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <stdexcept>
#include <string_view>

namespace tillbase::rpc {

class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses one JSON document; throws JsonError "malformed JSON at offset N: ..."
// on bad input, invalid UTF-8, trailing text or nesting deeper than max_depth.
// The value's memory comes from `storage` (a monotonic resource makes a
// large answer cheap to build and to drop).
boost::json::value ParseJson(std::string_view text, std::size_t max_depth = 64,
                             boost::json::storage_ptr storage = {});

}  // namespace tillbase::rpc

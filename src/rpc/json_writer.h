// Writes JSON text straight into a string, character for character as
// Boost.JSON's serializer writes the same value, so that answers written
// without building a boost::json tree read exactly like those built with one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tillbase::rpc {

// A string in quotes with '"', '\\' and control characters escaped; other
// bytes are copied as they are (the caller checks UTF-8 where it matters).
void AppendJsonString(std::string& out, std::string_view text);
// A finite double in its shortest exact form ("1.5E0").
void AppendJsonDouble(std::string& out, double value);
void AppendJsonInt(std::string& out, int64_t value);

// Short values are put together in a buffer on the stack and appended in
// one go: a record packet has ten of them in every row.
class JsonPiece {
 public:
  static constexpr size_t kCapacity = 128;
  JsonPiece& Put(std::string_view text);  // at most what is left of kCapacity
  JsonPiece& Int(int64_t value);
  JsonPiece& Double(double value);  // finite
  void AppendTo(std::string& out) const {
    out.append(buffer_, static_cast<size_t>(end_ - buffer_));
  }

 private:
  char buffer_[kCapacity];
  char* end_ = buffer_;
};

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points beyond U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace tillbase::rpc

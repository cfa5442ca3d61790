// Where a value stands in a JSON document ("params[1].$packet.rows[3][0]"),
// kept as a chain of parts on the stack and put into words only when
// reading fails: naming every value up front would cost more than reading it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tillbase::rpc {

struct JsonPlace {
  static constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);

  const JsonPlace* parent = nullptr;
  std::string_view name;         // the root's words, or a member part such as ".fields"
  std::size_t index = kNoIndex;  // an element: "[index]"

  JsonPlace Member(std::string_view part) const { return JsonPlace{this, part}; }
  JsonPlace Element(std::size_t i) const { return JsonPlace{this, {}, i}; }

  std::string Text() const {
    std::string text = parent != nullptr ? parent->Text() : std::string();
    if (index != kNoIndex) return text + "[" + std::to_string(index) + "]";
    return text + std::string(name);
  }
};

}  // namespace tillbase::rpc

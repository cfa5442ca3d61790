#include "rpc/object.h"

#include <cctype>

namespace tillbase::rpc {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string_view WithoutBraces(std::string_view s) {
  if (s.size() >= 2 && s.front() == '{' && s.back() == '}') return s.substr(1, s.size() - 2);
  return s;
}

}  // namespace

bool IsSessionClass(std::string_view class_name) {
  return EqualsIgnoringCase(class_name, kProgId) ||
         EqualsIgnoringCase(WithoutBraces(class_name), WithoutBraces(kClassClsid));
}

ComError ClassNotRegistered(std::string_view class_name) {
  return ComError(kRegDbEClassNotReg, "Class not registered: " + std::string(class_name));
}

}  // namespace tillbase::rpc

#include "rpc/call_frame.h"

#include <string>

#include "rpc/identifiers.h"

namespace tillbase::rpc {
namespace {

void EmptyOutParams(const MethodInfo& method, std::vector<Variant>& args) {
  size_t slot = 0;
  for (const ParamInfo& p : method.params) {
    if (p.direction == Direction::kRetval) continue;
    if (slot >= args.size()) break;
    if (p.direction == Direction::kOut &&
        (p.type == ParamType::kBstr || p.type == ParamType::kVariant)) {
      args[slot] = Variant();
    }
    ++slot;
  }
}

std::vector<std::pair<std::string, Variant>> CollectOutValues(const MethodInfo& method,
                                                              const std::vector<Variant>& args) {
  std::vector<std::pair<std::string, Variant>> out;
  size_t slot = 0;
  for (const ParamInfo& p : method.params) {
    if (p.direction == Direction::kRetval) continue;
    if (p.direction == Direction::kOut || p.direction == Direction::kInOut) {
      out.emplace_back(p.name, slot < args.size() ? args[slot] : Variant());
    }
    ++slot;
  }
  return out;
}

}  // namespace

void ThrowNotImplemented() { throw ComError(kENotImpl, "not implemented"); }

std::pair<HResult, ErrorInfo> ErrorFromException(std::exception_ptr error) {
  ErrorInfo info;
  info.source = std::string(kProgId);
  info.guid = std::string(kInterfaceIid);
  HResult code = kEUnexpected;
  try {
    std::rethrow_exception(error);
  } catch (const ComError& e) {
    if (e.code() < 0) code = e.code();
    info.description = e.what();
    info.help_context = e.help_context();
  } catch (const std::exception& e) {
    info.description = e.what();
  } catch (...) {
    info.description = "unknown error";
  }
  return {code, std::move(info)};
}

InvokeResult FailedCall(const MethodInfo& method, const std::vector<Variant>& args,
                        std::exception_ptr error) {
  InvokeResult result;
  auto [code, info] = ErrorFromException(error);
  result.hresult = code;
  result.error = std::move(info);
  result.out_values = CollectOutValues(method, args);
  return result;
}

InvokeResult RunInCallFrame(const MethodInfo& method, std::vector<Variant>& args,
                            const std::function<Variant()>& body) {
  EmptyOutParams(method, args);
  InvokeResult result;
  try {
    Variant retval = body();
    result.retval = method.Retval() != nullptr ? std::move(retval) : Variant();
  } catch (...) {
    return FailedCall(method, args, std::current_exception());
  }
  result.out_values = CollectOutValues(method, args);
  return result;
}

}  // namespace tillbase::rpc

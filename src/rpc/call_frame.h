// The common call frame every interface method runs in:
//   1. [out] parameters of type BSTR or VARIANT are emptied on entry
//      (other [out] ones and [in, out] ones keep what they hold);
//   2. the body runs; when it returns, the call succeeds with S_OK;
//   3. when it throws, the call fails with the exception's own negative OLE
//      code (ComError) or else E_UNEXPECTED, and the error information
//      carries the message, the ProgID, the interface's IID, an empty help
//      file and the help context; out-values written before the throw are
//      kept and go back to the client.
#pragma once

#include <exception>
#include <functional>
#include <vector>

#include "rpc/object.h"

namespace tillbase::rpc {

// `body` returns the [out, retval] value (Empty for methods without one).
InvokeResult RunInCallFrame(const MethodInfo& method, std::vector<Variant>& args,
                            const std::function<Variant()>& body);

// The failure answer for an exception caught outside RunInCallFrame (out
// values are taken from args as they stand).
InvokeResult FailedCall(const MethodInfo& method, const std::vector<Variant>& args,
                        std::exception_ptr error);

// The error information and HRESULT the frame gives an exception.
std::pair<HResult, ErrorInfo> ErrorFromException(std::exception_ptr error);

}  // namespace tillbase::rpc

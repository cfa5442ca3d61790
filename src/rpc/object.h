// The boundary between the wire protocol and the objects it serves.
//
// The protocol owns threads, queues, leases and the transport; a served
// object only sees calls, one at a time, on the thread that created it:
//
//   ObjectFactory::Create   runs on the new object's own thread; the
//                           creation request answers once it returns or
//                           throws.
//   ServedObject::Invoke    runs on that same thread, in arrival order.
//   ~ServedObject           runs on that same thread, after the last call,
//                           when the client releases the object or its
//                           lease runs out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rpc/identifiers.h"
#include "rpc/typelib.h"
#include "shared/variant.h"

namespace tillbase::rpc {

// The error information that goes back with a failed call or creation.
struct ErrorInfo {
  std::string description;
  std::string source;     // the ProgID of the class
  std::string guid;       // the IID of the interface, in braces
  std::string help_file;  // none is set: empty
  std::int32_t help_context = 0;
};

// An exception that carries its own OLE code. A negative code becomes the
// call's HRESULT; any other exception becomes E_UNEXPECTED.
class ComError : public std::runtime_error {
 public:
  ComError(HResult code, const std::string& message, std::int32_t help_context = 0)
      : std::runtime_error(message), code_(code), help_context_(help_context) {}
  HResult code() const noexcept { return code_; }
  std::int32_t help_context() const noexcept { return help_context_; }

 private:
  HResult code_;
  std::int32_t help_context_;
};

// Methods that are in the type library but not built yet fail with this:
// E_NOTIMPL and "not implemented".
[[noreturn]] void ThrowNotImplemented();

// The outcome of one call, as the answer carries it.
struct InvokeResult {
  HResult hresult = kSOk;
  // The [out, retval] value; Empty for methods without one and on failure.
  Variant retval;
  // Every [out] and [in, out] parameter by name, in declaration order, with
  // the value the body left there (also on failure).
  std::vector<std::pair<std::string, Variant>> out_values;
  // Set when hresult is negative.
  std::optional<ErrorInfo> error;

  bool Succeeded() const { return hresult >= 0; }
};

// One session object as the protocol sees it.
class ServedObject {
 public:
  virtual ~ServedObject() = default;

  // Runs one call. `args` holds one Variant per declared parameter except
  // the [out, retval] one, in declaration order: [in] and [in, out] slots
  // carry the caller's values, already checked and coerced to the declared
  // type (BSTR -> VT_BSTR, long and enumerations -> VT_I4, VARIANT_BOOL ->
  // VT_BOOL, DATE -> VT_DATE, VARIANT as sent); [out] slots are Empty. The
  // object writes [out] and [in, out] slots in place.
  //
  // Implementations normally wrap their body in RunInCallFrame (call_frame.h),
  // which applies the common call frame and fills the out values from args;
  // Invoke itself should not throw (a throw is answered as RunInCallFrame
  // would answer it).
  virtual InvokeResult Invoke(const MethodInfo& method, std::vector<Variant>& args) = 0;
};

// Makes session objects for creation requests.
class ObjectFactory {
 public:
  virtual ~ObjectFactory() = default;

  // `class_name` is what the client asked for (a ProgID or a CLSID, see
  // IsSessionClass). Runs on the new object's thread. To fail, throw: a
  // ComError gives its code, anything else E_UNEXPECTED, with the message
  // as the description. An unknown class should throw ClassNotRegistered().
  virtual std::unique_ptr<ServedObject> Create(std::string_view class_name) = 0;

  // Called on the object's thread after the object has been destroyed
  // (client release or lease expiry); `remaining` is the number of live
  // objects left. Lets automation mode end with the last release. It must
  // not stop the server itself (that waits for this very thread): post the
  // request to another thread instead.
  virtual void Released(std::size_t remaining) { (void)remaining; }
};

// REGDB_E_CLASSNOTREG.
inline constexpr HResult kRegDbEClassNotReg = static_cast<HResult>(0x80040154u);

// True for the session class's ProgID (any letter case) or its CLSID (any
// letter case, with or without braces).
bool IsSessionClass(std::string_view class_name);

// ComError(REGDB_E_CLASSNOTREG, "Class not registered: <name>").
ComError ClassNotRegistered(std::string_view class_name);

}  // namespace tillbase::rpc

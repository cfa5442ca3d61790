#include "rpc/call_frame.h"

#include <gtest/gtest.h>

#include "rpc/typelib.h"

namespace tillbase::rpc {
namespace {

const MethodInfo& Method(const char* name) { return *TypeLibrary::Get().FindByName(name); }

TEST(CallFrame, EmptiesOnlyOutStringsAndVariantsOnEntry) {
  // GetUpdateSystemGuage: [out] long iGuage, iCount, Param2; [out] BSTR ErrorMsg; [in] long* iItemIndex
  const MethodInfo& m = Method("GetUpdateSystemGuage");
  std::vector<Variant> args = {Variant(1), Variant(2), Variant(3), Variant("old"), Variant(9)};
  std::vector<Variant> seen;
  InvokeResult r = RunInCallFrame(m, args, [&] {
    seen = args;
    return Variant();
  });
  EXPECT_EQ(seen[0], Variant(1));  // [out] long: left alone
  EXPECT_TRUE(seen[3].IsEmpty());  // [out] BSTR: emptied
  EXPECT_EQ(seen[4], Variant(9));  // [in]
  EXPECT_EQ(r.hresult, kSOk);
  ASSERT_EQ(r.out_values.size(), 4u);
  EXPECT_EQ(r.out_values[3].first, "ErrorMsg");
}

TEST(CallFrame, ExceptionsBecomeHresultsWithErrorInformation) {
  const MethodInfo& m = Method("KeepConnection");
  struct Case {
    std::function<void()> raise;
    HResult expected;
    const char* message;
    int help_context;
  };
  const Case cases[] = {
      {[] { throw std::runtime_error("~"); }, kEUnexpected, "~", 0},
      {[] { throw ComError(static_cast<HResult>(0x80040E37u), "Invalid object name", 5); },
       static_cast<HResult>(0x80040E37u), "Invalid object name", 5},
      // A code that is not negative is no error code: E_UNEXPECTED.
      {[] { throw ComError(1, "odd"); }, kEUnexpected, "odd", 0},
      {[] { ThrowNotImplemented(); }, kENotImpl, "not implemented", 0},
      {[] { throw 42; }, kEUnexpected, "unknown error", 0},
  };
  for (const Case& c : cases) {
    std::vector<Variant> args;
    InvokeResult r = RunInCallFrame(m, args, [&]() -> Variant {
      c.raise();
      return {};
    });
    EXPECT_EQ(r.hresult, c.expected) << c.message;
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(r.error->description, c.message);
    EXPECT_EQ(r.error->source, "TillcoreServer.CoTillbaseServer");
    EXPECT_EQ(r.error->guid, "{DFA6B925-EDDC-4429-B175-E76F4D33E935}");
    EXPECT_EQ(r.error->help_file, "");
    EXPECT_EQ(r.error->help_context, c.help_context);
  }
}

TEST(CallFrame, OutValuesWrittenBeforeAFailureGoBack) {
  const MethodInfo& m = Method("RestoreDataBase");  // [in] VARIANT; [out] long* nRet; [out] BSTR* sErrorMsg
  std::vector<Variant> args = {Variant("x"), Variant(), Variant()};
  InvokeResult r = RunInCallFrame(m, args, [&]() -> Variant {
    args[1] = Variant(-8);
    throw std::runtime_error("boom");
  });
  EXPECT_EQ(r.hresult, kEUnexpected);
  ASSERT_EQ(r.out_values.size(), 2u);
  EXPECT_EQ(r.out_values[0], (std::pair<std::string, Variant>{"nRet", Variant(-8)}));
  EXPECT_TRUE(r.out_values[1].second.IsEmpty());
  EXPECT_TRUE(r.retval.IsEmpty());
}

TEST(Typelib, HasEveryMethodWithItsDispidAndDirections) {
  const TypeLibrary& lib = TypeLibrary::Get();
  EXPECT_EQ(lib.methods().size(), 7u + 56u);
  const MethodInfo* m = lib.FindByDispid(26);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->name, "GetVchNumber");
  EXPECT_EQ(m->InputParams().size(), 4u);
  EXPECT_EQ(m->Retval()->type, ParamType::kBool);
  EXPECT_EQ(lib.FindByName("getservERVERSION")->dispid, 46);
  EXPECT_EQ(lib.FindByName("DisposeListItem")->InputParams().size(), 1u);  // [in] long*
  EXPECT_EQ(lib.FindEnum("enProcessMode")->values.size(), 8u);
  for (const char* bad : {"[inout] long x", "long x", "[in] float x", "[in] long"}) {
    EXPECT_THROW(TypeLibrary::ParseParams(bad), std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace tillbase::rpc

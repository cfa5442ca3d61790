// The routine's rules that need no database: a parameter list held in
// memory stands in for a stored-procedure component.
#include "shared/proc_runner.h"

#include <gtest/gtest.h>

namespace tillbase {
namespace {

class ListProcedure : public ProcedureTarget {
 public:
  std::vector<ProcParam> params;
  Variant return_value;
  int executions = 0;

  void SetProcedureName(std::string_view) override {}
  void RefreshParameters() override {
    params = {{"@RETURN_VALUE", Variant(), ftInteger, pdReturnValue},
              {"@in", Variant(), ftString, pdInput},
              {"@out", Variant(), ftBCD, pdOutput}};
  }
  int ParamCount() override { return static_cast<int>(params.size()); }
  ProcParam Param(int i) override { return params.at(static_cast<size_t>(i)); }
  std::string ParamName(int i) override { return params.at(static_cast<size_t>(i)).name; }
  void SetValue(int i, const Variant& v) override { params.at(static_cast<size_t>(i)).value = v; }
  void SetDataType(int i, int t) override { params.at(static_cast<size_t>(i)).data_type = t; }
  void SetDirection(int i, int d) override { params.at(static_cast<size_t>(i)).direction = d; }
  void ExecProc() override {
    ++executions;
    params[0].value = return_value;
    params[2].value = Variant(Decimal::Parse("2.25"));
  }
};

TEST(ProcRunner, NullReturnValueFailsAfterOutputsAreWritten) {
  ListProcedure proc;
  proc.return_value = Variant::Null();
  Variant out;
  try {
    ExecuteProcedure(proc, "p", Variant::Null(), &out);
    ADD_FAILURE();
  } catch (const VariantError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Integer)");
  }
  EXPECT_EQ(proc.executions, 1);
  std::vector<ParamEntry> entries = UnpackParams(out);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].value, Variant(2.25));
  EXPECT_EQ(entries[0].kind, ptOutput);
}

TEST(ProcRunner, KeyInsideALongerNameSuppliesNothing) {
  ListProcedure proc;
  proc.return_value = Variant(1);
  Variant out;
  // "@XIN:" contains "@IN:", but no entry is named "@in".
  Variant inputs = VarArrayOf({VarArrayOf({Variant("@xin"), Variant("v")})});
  EXPECT_EQ(ExecuteProcedure(proc, "p", inputs, &out), 1);
  EXPECT_TRUE(proc.params[1].value.IsEmpty());
}

}  // namespace
}  // namespace tillbase

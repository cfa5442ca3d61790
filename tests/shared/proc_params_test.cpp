#include "shared/proc_params.h"

#include <gtest/gtest.h>

#include <map>

namespace tillbase {
namespace {

TEST(FieldTypeCodes, OrdinalsAndNames) {
  EXPECT_EQ(ftString, 1);
  EXPECT_EQ(ftFloat, 6);
  EXPECT_EQ(ftBCD, 8);
  EXPECT_EQ(ftFMTBcd, 37);
  EXPECT_EQ(FieldTypeName(0), "ftUnknown");
  EXPECT_EQ(FieldTypeName(24), "ftWideString");
  EXPECT_EQ(FieldTypeName(37), "ftFMTBcd");
  EXPECT_EQ(FieldTypeName(38), "");
  EXPECT_EQ(FieldTypeName(-1), "");
  EXPECT_EQ(pdReturnValue, 4);
  EXPECT_EQ(static_cast<int>(ptResult), static_cast<int>(pdReturnValue));
}

TEST(PackedParams, WritesAllSevenElements) {
  ParamEntry entry{"@Qty", Variant(12.5), ftFloat, ptOutput, 8, 15, 2};
  Variant packed = PackParams({entry});
  ASSERT_TRUE(packed.IsArray());
  EXPECT_EQ(packed.LowBound(), 0);
  EXPECT_EQ(packed.HighBound(), 0);
  Variant item = packed.Get(0);
  EXPECT_EQ(item, VarArrayOf({Variant("@Qty"), Variant(12.5), Variant(6), Variant(2), Variant(8),
                              Variant(15), Variant(2)}));
  EXPECT_TRUE(PackParams({}).IsNull());
  // A custom kind crosses the interface as its text.
  Variant with_bcd = PackParams({{"@p", Variant::Custom(kVarTypeFmtBcd, "12.50"), ftBCD}});
  EXPECT_EQ(with_bcd.Get(0).Get(1), Variant("12.50"));
}

TEST(PackedParams, RoundTrip) {
  std::vector<ParamEntry> entries = {
      {"@a", Variant(1), ftInteger, ptInput, 4, 10, 0},
      {"@b", Variant::Null(), ftString, ptInputOutput, 50, 0, 0},
      {"@c", VarArrayOf({Variant(1), Variant("x")}), ftVariant, ptOutput, 0, 0, 0},
      {"@名称", Variant("商品"), ftWideString, ptInput, 20, 0, 0},
  };
  EXPECT_EQ(UnpackParams(PackParams(entries)), entries);
}

TEST(PackedParams, ReadingRules) {
  // Lists that read as no entries at all.
  const Variant empty_lists[] = {Variant::Null(),
                                 Variant(),
                                 Variant(5),
                                 Variant("x"),
                                 VarArrayOf({}),
                                 VarArrayOf({Variant(1), Variant(2)}),
                                 Variant(std::vector<uint8_t>{1, 2})};
  for (const auto& list : empty_lists) EXPECT_TRUE(UnpackParams(list).empty()) << list;

  // Short entries: each element only when the upper bound reaches it.
  struct Case {
    Variant entry;
    ParamEntry expected;
  };
  const Case cases[] = {
      {VarArrayOf({Variant("@a"), Variant(1)}), {"@a", Variant(1)}},
      {VarArrayOf({Variant("@a"), Variant(1), Variant(3)}), {"@a", Variant(1), 3}},
      {VarArrayOf({Variant("@a"), Variant(1), Variant(3), Variant(1)}), {"@a", Variant(1), 3, 1}},
      {VarArrayOf({Variant("@a"), Variant(1), Variant(3), Variant(1), Variant(4)}),
       {"@a", Variant(1), 3, 1, 4}},
      {VarArrayOf({Variant("@a"), Variant(1), Variant(3), Variant(1), Variant(4), Variant(10)}),
       {"@a", Variant(1), 3, 1, 4, 10}},
      // Codes may arrive as text or doubles from loosely typed clients.
      {VarArrayOf({Variant("@a"), Variant(), Variant("6"), Variant(2.0)}), {"@a", Variant(), 6, 2}},
  };
  for (const auto& c : cases) {
    auto entries = UnpackParams(VarArrayOf({c.entry}));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], c.expected) << c.entry;
  }

  // A procedure parameter array reads as a packed list.
  Variant proc_array = MakeProcParamArray({{"@RETURN_VALUE", Variant(0), ftInteger, pdReturnValue},
                                           {"@x", Variant("v"), ftString, pdInput}});
  auto entries = UnpackParams(proc_array);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1], (ParamEntry{"@x", Variant("v"), ftString, ptInput}));
}

TEST(PackedParams, MalformedEntriesRaise) {
  // An entry that is not an array, after a valid first entry.
  EXPECT_THROW(UnpackParams(VarArrayOf({VarArrayOf({Variant("@a"), Variant(1)}), Variant(5)})),
               VariantError);
  // An entry with a name only: the value is always read.
  EXPECT_THROW(UnpackParams(VarArrayOf({VarArrayOf({Variant("@a")})})), VariantError);
  // Entries but no element 0: the client's entries are not dropped silently.
  Variant shifted = VarArrayCreate(1, 1);
  shifted.Set(1, VarArrayOf({Variant("@a"), Variant(1)}));
  EXPECT_THROW(UnpackParams(shifted), VariantError);
  // A code that is no number.
  EXPECT_THROW(UnpackParams(VarArrayOf({VarArrayOf({Variant("@a"), Variant(1), Variant("x")})})),
               VariantError);
}

TEST(PackedParams, FindParamIgnoresAsciiCase) {
  std::vector<ParamEntry> entries = {
      {"@BillCode", Variant(1)}, {"@billcode", Variant(2)}, {"VchType", Variant(3)}};
  ASSERT_NE(FindParam(entries, "@BILLCODE"), nullptr);
  EXPECT_EQ(FindParam(entries, "@BILLCODE")->value, Variant(1));  // the first one
  EXPECT_EQ(FindParam(entries, "@VchType"), nullptr);             // no leading "@" supplies nothing
  EXPECT_EQ(FindParam(entries, "@Bill"), nullptr);
}

TEST(ProcParamArray, OneEntryPerParameterWithReturnValueFirst) {
  std::vector<ProcParam> params = {{"@RETURN_VALUE", Variant(), ftInteger, pdReturnValue},
                                   {"@a", Variant(1), ftInteger, pdInput},
                                   {"@b", Variant(), ftBCD, pdOutput}};
  Variant array = MakeProcParamArray(params);
  ASSERT_EQ(array.HighBound(), 2);
  EXPECT_EQ(array.Get(0),
            VarArrayOf({Variant("@RETURN_VALUE"), Variant(), Variant(3), Variant(4)}));
  EXPECT_EQ(array.Get(2).HighBound(), 3);
  EXPECT_TRUE(MakeProcParamArray({}).IsNull());
}

// A parameter list as the data-access layer would hold it.
class FakeParams : public ProcParamTarget {
 public:
  explicit FakeParams(std::vector<ProcParam> params) : params_(std::move(params)) {}
  std::string ParamName(int position) override { return params_.at(position).name; }
  void SetValue(int position, const Variant& value) override {
    if (params_.at(position).data_type == ftInteger) value.ToInt32();  // the layer checks
    params_.at(position).value = value;
  }
  void SetDataType(int position, int data_type) override {
    params_.at(position).data_type = data_type;
  }
  void SetDirection(int position, int direction) override {
    params_.at(position).direction = direction;
  }
  std::vector<ProcParam> params_;
};

TEST(ProcParamArray, AppliedByPosition) {
  FakeParams target({{"@RETURN_VALUE", Variant(), ftInteger, pdReturnValue},
                     {"@a", Variant(), ftInteger, pdInput},
                     {"@b", Variant(), ftString, pdInput}});
  Variant array = VarArrayOf({
      VarArrayOf({Variant("ignored"), Variant(99), Variant(3), Variant(4)}),
      VarArrayOf({Variant("@other"), Variant(7), Variant(8), Variant(3)}),
      VarArrayOf({Variant("@b"), Variant("text"), Variant(1), Variant(1)}),
  });
  ApplyProcParamArray(array, target);
  EXPECT_TRUE(target.params_[0].value.IsEmpty());  // the return value is never written
  EXPECT_EQ(target.params_[1], (ProcParam{"@a", Variant(7), ftFloat, pdInputOutput}));
  EXPECT_EQ(target.params_[2], (ProcParam{"@b", Variant("text"), ftString, pdInput}));
}

TEST(ProcParamArray, NothingToApplyAndFailures) {
  FakeParams target({{"@RETURN_VALUE", Variant(), ftInteger, pdReturnValue},
                     {"@a", Variant(), ftInteger, pdInput}});
  ApplyProcParamArray(Variant::Null(), target);
  ApplyProcParamArray(Variant("x"), target);
  ApplyProcParamArray(VarArrayOf({Variant(), Variant(5)}), target);  // element 1 no array
  EXPECT_TRUE(target.params_[1].value.IsEmpty());

  try {
    ApplyProcParamArray(VarArrayOf({Variant()}), target);
    FAIL() << "no error";
  } catch (const VariantError& e) {
    EXPECT_STREQ(e.what(), "Variant or safe array index out of bounds");
  }

  try {
    ApplyProcParamArray(VarArrayOf({Variant(), VarArrayOf({Variant("@a"), Variant("abc"),
                                                           Variant(3), Variant(1)})}),
                        target);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "执行存储过程失败。\r\r过程参数 '@a' 的数据类型与传入值的数据类型不一致。");
  }
  // A short entry fails the same way, naming the list's parameter.
  EXPECT_THROW(
      ApplyProcParamArray(VarArrayOf({Variant(), VarArrayOf({Variant("@x"), Variant(1)})}), target),
      std::runtime_error);
  // A position beyond the list fails with the list's own error.
  EXPECT_THROW(
      ApplyProcParamArray(
          VarArrayOf({Variant(), VarArrayOf({Variant(), Variant(1), Variant(3), Variant(1)}),
                      VarArrayOf({Variant(), Variant(1), Variant(3), Variant(1)})}),
          target),
      std::out_of_range);
}

}  // namespace
}  // namespace tillbase

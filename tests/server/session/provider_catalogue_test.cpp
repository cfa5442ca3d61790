#include "server/session/provider_catalogue.h"

#include <gtest/gtest.h>

#include "shared/proc_params.h"

namespace tillbase::session {
namespace {

TEST(ProviderCatalogue, NamesSettingsAndLookup) {
  Variant names = AS_GetProviderNames();
  ASSERT_EQ(names.Count(), 21);
  EXPECT_EQ(names.At(0), Variant("pv_sp_Execute"));
  EXPECT_EQ(names.At(20), Variant("dtpLocalView"));

  struct Case {
    const char* asked;
    const char* dataset;
    bool command_text;
    bool resolve_to_dataset;
    UpdateMode mode;
  } cases[] = {
      {"PV_SP_EXECUTE", "sp_Execute", true, false, UpdateMode::kWhereAll},
      {"datasetprovider", "ADOStoredProc", false, false, UpdateMode::kWhereAll},
      {"pv_Test", "sp_Test", false, false, UpdateMode::kWhereAll},
      {"pv_dst_Custom", "dst_Custom", false, false, UpdateMode::kWhereAll},
      {"dspQuery", "ADOQuery2", true, true, UpdateMode::kWhereAll},
      {"DpVipCards", "AdoVipCards", true, false, UpdateMode::kWhereKeyOnly},
      {"dpBtype", "AdoBtype", true, false, UpdateMode::kWhereAll},
      {"dtplocalview", "adoLocalView", true, false, UpdateMode::kWhereKeyOnly},
  };
  for (const Case& c : cases) {
    const ProviderInfo& p = ProviderByName(c.asked);
    EXPECT_EQ(p.dataset, c.dataset) << c.asked;
    EXPECT_EQ(p.allow_command_text, c.command_text) << c.asked;
    EXPECT_EQ(p.resolve_to_dataset, c.resolve_to_dataset) << c.asked;
    EXPECT_EQ(p.update_mode, c.mode) << c.asked;
  }
  EXPECT_EQ(FindProvider("pv_sp_Execute "), nullptr);
  try {
    ProviderByName("pv_Nothing");
    ADD_FAILURE() << "found";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Provider not exported: pv_Nothing");
  }
}

TEST(ProviderCatalogue, VipCardsHaveFixedFieldsLocatedByCardIdAlone) {
  const std::vector<PacketField>& fields = VipCardsFields();
  ASSERT_EQ(fields.size(), 37u);
  EXPECT_EQ(fields[0].name, "CardID");
  EXPECT_EQ(fields[0].data_type, ftAutoInc);
  EXPECT_TRUE(fields[0].key && fields[0].read_only && fields[0].auto_increment);
  for (size_t i = 1; i < fields.size(); ++i) {
    EXPECT_FALSE(fields[i].key || fields[i].read_only) << fields[i].name;
  }
  EXPECT_EQ(fields[11].name, "HolderPhoto");
  EXPECT_EQ(fields[11].data_type, ftBlob);
  EXPECT_EQ(fields[14].name, "Comment");
  EXPECT_EQ(fields[14].size, 255);
  const PacketField& last = fields.back();
  EXPECT_EQ(last.name, "LJXFJFJE");
  EXPECT_EQ(last.data_type, ftBCD);
  EXPECT_EQ(last.precision, 24);
  EXPECT_EQ(last.scale, 2);
  EXPECT_TRUE(ProviderByName("dpVipCards").fixed_fields);
}

}  // namespace
}  // namespace tillbase::session

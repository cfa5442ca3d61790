#include "server/session/packet_builder.h"

#include <gtest/gtest.h>

#include <functional>

#include "db/db_fixture.h"
#include "db/query.h"
#include "db/stored_proc.h"
#include "shared/proc_params.h"

namespace tillbase::session {
namespace {

std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class PacketBuilderTest : public db::testing::EmbeddedDbTest {
 protected:
  void SetUp() override {
    EmbeddedDbTest::SetUp();
    Exec(
        "CREATE TABLE T (id int IDENTITY(1,1) PRIMARY KEY, name nvarchar(20) NULL, "
        "amount decimal(24,10) NULL, photo varbinary(max) NULL, born datetime NULL)");
    Exec(
        "INSERT INTO T (name, amount, photo, born) VALUES "
        "(N'', CAST('123456.1234567891' AS decimal(24,10)), 0x00FF00, "
        "'2026-12-11 10:30:00')");
    Exec("INSERT INTO T (name) VALUES (NULL)");
    for (int i = 3; i <= 5; ++i)
      Exec("INSERT INTO T (name) VALUES (N'r" + std::to_string(i) + "')");
    query_.SetConnection(&connection());
    query_.SetSql("select * from T order by id");
  }

  // The ids a packet holds.
  static std::vector<int> Ids(const Variant& packet) {
    std::vector<int> ids;
    for (const PacketRow& row : DataPacket::FromVariant(packet).rows) {
      ids.push_back(row.values[0].ToInt32());
    }
    return ids;
  }

  const ProviderInfo& open_ = ProviderByName("pv_qry_Open");
  db::Query query_;
};

TEST_F(PacketBuilderTest, PagesContinueWhereTheLastStoppedUntilTheEnd) {
  struct Step {
    int32_t count;
    int32_t options;
    std::vector<int> ids;
  } steps[] = {
      {0, 0, {}},  // field definitions only; does not move
      {2, 0, {1, 2}},
      {2, 0, {3, 4}},
      {2, 0, {5}},
      {2, 0, {}},
      {-1, kGetRecordsReset, {1, 2, 3, 4, 5}},
      {3, kGetRecordsReset, {1, 2, 3}},
      {-1, 0, {4, 5}},
  };
  for (const Step& s : steps) {
    int32_t recs_out = -7;
    Variant packet = GetRecords(open_, &query_, s.count, s.options, "", Variant(), recs_out);
    EXPECT_EQ(Ids(packet), s.ids) << "count " << s.count;
    EXPECT_EQ(recs_out, static_cast<int32_t>(s.ids.size()));
    EXPECT_EQ(DataPacket::FromVariant(packet).fields.size(), 5u);
  }
  // The dataset stays open after a request, as a later call relies on.
  EXPECT_TRUE(query_.Active());
}

TEST_F(PacketBuilderTest, FieldsAndValuesKeepWhatTheDatabaseHolds) {
  int32_t recs_out = 0;
  DataPacket p = DataPacket::FromVariant(GetRecords(open_, &query_, 2, 0, "", Variant(), recs_out));
  const PacketField& id = p.fields[0];
  EXPECT_TRUE(id.key && id.read_only && id.auto_increment);
  EXPECT_FALSE(p.fields[1].key || p.fields[1].required);
  EXPECT_EQ(p.fields[1].size, 20);
  EXPECT_EQ(p.fields[2].precision, 24);
  EXPECT_EQ(p.fields[2].scale, 10);
  const std::vector<Variant>& first = p.rows[0].values;
  EXPECT_EQ(first[1], Variant(""));  // the empty text is not Null
  EXPECT_TRUE(p.rows[1].values[1].IsNull());
  EXPECT_EQ(first[2].ToString(), "123456.1234567891");  // more than 15 digits, exact
  EXPECT_EQ(first[3], Variant(std::vector<uint8_t>{0, 0xFF, 0}));
  EXPECT_EQ(first[4].type(), VT_DATE);
}

TEST_F(PacketBuilderTest, CommandTextOnlyWhereTheProviderAllowsIt) {
  int32_t recs_out = 0;
  Variant packet = GetRecords(open_, &query_, -1, 0, "select id from T where id > 3 order by id",
                              Variant(), recs_out);
  EXPECT_EQ(Ids(packet), (std::vector<int>{4, 5}));
  const ProviderInfo& fixed = ProviderByName("pv_Test");
  EXPECT_EQ(ErrorOf([&] { GetRecords(fixed, &query_, -1, 0, "select 1", Variant(), recs_out); }),
            "Provider pv_Test does not accept command text");
  EXPECT_EQ(ErrorOf([&] {
              GetRecords(ProviderByName("pv_dst_Custom"), nullptr, -1, 0, "", Variant(), recs_out);
            }),
            "Missing data provider or data packet");
}

TEST_F(PacketBuilderTest, ParamsGoByNameIntoTheProcedure) {
  Exec("CREATE PROCEDURE ListAfter @First int AS SELECT id FROM T WHERE id > @First ORDER BY id");
  db::StoredProc proc(&connection());
  proc.SetProcedureName("ListAfter");
  proc.RefreshParameters();
  const ProviderInfo& provider = ProviderByName("pv_sp_Open");
  ParamEntry first;
  first.name = "@FIRST";  // names without regard to case
  first.value = Variant(3);
  int32_t recs_out = 0;
  Variant packet = GetRecords(provider, &proc, 1, 0, "", PackParams({first}), recs_out);
  EXPECT_EQ(Ids(packet), (std::vector<int>{4}));
  // The same values with the next page continue; other values start over.
  packet = GetRecords(provider, &proc, 1, 0, "", PackParams({first}), recs_out);
  EXPECT_EQ(Ids(packet), (std::vector<int>{5}));
  first.value = Variant(1);
  packet = GetRecords(provider, &proc, -1, 0, "", PackParams({first}), recs_out);
  EXPECT_EQ(Ids(packet), (std::vector<int>{2, 3, 4, 5}));
  first.name = "@Last";
  EXPECT_EQ(ErrorOf([&] { GetRecords(provider, &proc, -1, 0, "", PackParams({first}), recs_out); }),
            "Parameter '@Last' not found");
  // A query has no parameters: a value sent for one is refused, not dropped.
  EXPECT_EQ(ErrorOf([&] { GetRecords(open_, &query_, -1, 0, "", PackParams({first}), recs_out); }),
            "Parameter '@Last' not found");
}

TEST_F(PacketBuilderTest, ExecuteAndGetParamsOnAProcedure) {
  Exec(
      "CREATE PROCEDURE AddUp @a int, @total int OUTPUT AS BEGIN SET @total = @a + @total; "
      "RETURN 7 END");
  db::StoredProc proc(&connection());
  proc.SetProcedureName("AddUp");
  proc.RefreshParameters();
  Variant params = GetParams(&proc);
  ASSERT_EQ(params.Count(), 3);  // the return value first
  EXPECT_EQ(params.At(0).At(0), Variant("@RETURN_VALUE"));
  params.At(1).At(1) = Variant(2);
  params.At(2).At(1) = Variant(40);
  Execute(ProviderByName("pv_sp_Execute"), &proc, "", params);
  EXPECT_EQ(params.At(0).At(1).ToInt32(), 7);
  EXPECT_EQ(params.At(2).At(1).ToInt32(), 42);
  // A query has no parameters to report.
  EXPECT_TRUE(GetParams(&query_).IsNull());
}

TEST_F(PacketBuilderTest, VipCardsDeliverTheirFixedFieldsByName) {
  // The table's own column order and an extra column do not show.
  std::string ddl = "CREATE TABLE VIPCards (Extra int NULL";
  for (const PacketField& f : VipCardsFields()) {
    std::string type = f.auto_increment        ? "int IDENTITY(1,1) PRIMARY KEY"
                       : f.data_type == ftBlob ? "image NULL"
                       : f.data_type == ftBCD  ? "numeric(24," + std::to_string(f.scale) + ") NULL"
                       : f.data_type == ftString ? "varchar(" + std::to_string(f.size) + ") NULL"
                                                 : "int NULL";
    ddl += ", [" + f.name + "] " + type;
  }
  Exec(ddl + ")");
  Exec("INSERT INTO VIPCards (Extra, CardNo, NowTotal) VALUES (9, 'V001', 12.5)");
  db::Query cards(&connection());
  cards.SetSql("select * from VIPCards");
  int32_t recs_out = 0;
  DataPacket p = DataPacket::FromVariant(
      GetRecords(ProviderByName("dpVipCards"), &cards, -1, 0, "", Variant(), recs_out));
  EXPECT_EQ(p.fields, VipCardsFields());
  ASSERT_EQ(p.rows.size(), 1u);
  EXPECT_EQ(p.rows[0].values[0].ToInt32(), 1);
  EXPECT_EQ(p.rows[0].values[1], Variant("V001"));
  EXPECT_EQ(p.rows[0].values[19].ToString(), "12.5");
  // A result without one of the fields cannot fill the packet.
  EXPECT_EQ(ErrorOf([&] {
              GetRecords(ProviderByName("dpVipCards"), &cards, -1, 0,
                         "select CardID, Extra from VIPCards", Variant(), recs_out);
            }),
            "Field 'CardNo' not found");
}

}  // namespace
}  // namespace tillbase::session

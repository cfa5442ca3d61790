#include "server/session/delta_resolver.h"

#include <gtest/gtest.h>

#include <functional>

#include "db/db_fixture.h"
#include "db/errors.h"
#include "db/query.h"
#include "server/session/packet_builder.h"
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

PacketField Field(const char* name, int type, bool key = false) {
  PacketField f;
  f.name = name;
  f.data_type = type;
  f.key = key;
  return f;
}

PacketRow Row(RowState state, std::vector<Variant> values, std::vector<Variant> original = {}) {
  PacketRow r;
  r.state = state;
  r.values = std::move(values);
  r.original = std::move(original);
  return r;
}

DataPacket Delta(std::vector<PacketRow> rows) {
  DataPacket d;
  d.kind = PacketKind::kDelta;
  PacketField id = Field("id", ftAutoInc, true);
  id.read_only = id.auto_increment = true;
  d.fields = {id, Field("name", ftString), Field("photo", ftBlob), Field("n", ftInteger)};
  d.rows = std::move(rows);
  return d;
}

TEST(DeltaStatements, GeneratedByStateAndUpdateMode) {
  const Variant null = Variant::Null();
  const std::vector<uint8_t> pic = {1, 2};
  struct Case {
    PacketRow row;
    UpdateMode mode;
    std::string sql;
    std::vector<Variant> values;
  } cases[] = {
      // Read-only fields and unassigned (Empty) values are left to the table.
      {Row(RowState::kInserted, {Variant(), Variant("a"), null, Variant()}),
       UpdateMode::kWhereKeyOnly,
       "INSERT INTO [T] ([name], [photo]) VALUES (@P1, @P2)",
       {Variant("a"), null}},
      {Row(RowState::kInserted, {Variant(), Variant(), Variant(), Variant()}),
       UpdateMode::kWhereAll,
       "INSERT INTO [T] DEFAULT VALUES",
       {}},
      // Only changed fields are set; key only finds the row by its key.
      {Row(RowState::kModified, {Variant(7), Variant("b"), Variant(pic), Variant(1)},
           {Variant(7), Variant("a"), Variant(pic), Variant(1)}),
       UpdateMode::kWhereKeyOnly,
       "UPDATE [T] SET [name] = @P1 WHERE [id] = @P2",
       {Variant("b"), Variant(7)}},
      // All fields find it by every original value but the large object; a
      // Null matches as IS NULL.
      {Row(RowState::kModified, {Variant(7), Variant("b"), Variant(pic), Variant(2)},
           {Variant(7), null, Variant(pic), Variant(1)}),
       UpdateMode::kWhereAll,
       "UPDATE [T] SET [name] = @P1, [n] = @P2 WHERE [id] = @P3 AND [name] IS NULL AND [n] = @P4",
       {Variant("b"), Variant(2), Variant(7), Variant(1)}},
      {Row(RowState::kModified, {Variant(7), Variant("a"), null, Variant(1)},
           {Variant(7), Variant("a"), null, Variant(1)}),
       UpdateMode::kWhereAll,
       "",
       {}},
      {Row(RowState::kDeleted, {Variant(7), Variant("a"), null, Variant(1)}),
       UpdateMode::kWhereKeyOnly,
       "DELETE FROM [T] WHERE [id] = @P1",
       {Variant(7)}},
      {Row(RowState::kUnchanged, {Variant(7), Variant("a"), null, Variant(1)}),
       UpdateMode::kWhereAll,
       "",
       {}},
  };
  for (const Case& c : cases) {
    DataPacket d = Delta({c.row});
    BoundStatement s = StatementForRow(d, d.rows[0], "[T]", c.mode);
    EXPECT_EQ(s.sql, c.sql);
    EXPECT_EQ(s.values, c.values) << c.sql;
  }
}

TEST(DeltaStatements, NamesAreQuotedAndValuesNeverEnterTheText) {
  DataPacket d;
  d.fields = {Field("k", ftString, true), Field("x]; DROP TABLE T; --", ftString)};
  d.rows = {Row(RowState::kModified, {Variant("1'; DROP TABLE T; --"), Variant("'")},
                {Variant("1'; DROP TABLE T; --"), Variant("")})};
  BoundStatement s = StatementForRow(d, d.rows[0], "[T]", UpdateMode::kWhereKeyOnly);
  EXPECT_EQ(s.sql, "UPDATE [T] SET [x]]; DROP TABLE T; --] = @P1 WHERE [k] = @P2");
  // Without a key field, key-only mode cannot locate a row.
  d.fields[0].key = false;
  EXPECT_EQ(ErrorOf([&] { StatementForRow(d, d.rows[0], "[T]", UpdateMode::kWhereKeyOnly); }),
            "Unable to find record. No key fields to locate it in [T]");
}

TEST(DeltaStatements, TableOfTheDatasetsQuery) {
  struct Case {
    const char* sql;
    const char* table;
  } cases[] = {
      {"select * from VIPCards", "[VIPCards]"},
      {"SELECT a FROM dbo.[My ]]Table] WHERE x = 'from y'", "[dbo].[My ]]Table]"},
      {"select 'x from y', (select max(id) from z) as m\r\nFROM\tt order by 1", "[t]"},
      {"select [from] from \"q\"", "[q]"},
      {"select 1", ""},
      {"select * from (select 1 as a) s", ""},
      {"select * from @t", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TableOfQuery(c.sql), c.table) << c.sql;
}

TEST(DeltaStatements, TheDatasetsFieldsDecideKeysNotTheClients) {
  db::Connection never_opened;
  db::Query cards(&never_opened);
  cards.SetSql("select * from VIPCards");
  DataPacket d = Delta({});
  d.fields[0].name = "Bogus";
  int32_t errors = 0;
  EXPECT_EQ(ErrorOf([&] {
              ApplyUpdates(ProviderByName("dpVipCards"), &cards, never_opened, d.ToVariant(), 0,
                           errors);
            }),
            "Field 'Bogus' not found");
}

// Applying deltas on the embedded database.
class DeltaResolverTest : public db::testing::EmbeddedDbTest {
 protected:
  void SetUp() override {
    EmbeddedDbTest::SetUp();
    Exec(
        "CREATE TABLE VIPCards (CardID int IDENTITY(1,1) PRIMARY KEY, CardNo varchar(18) NULL, "
        "NowTotal numeric(24,10) NULL, HolderPhoto image NULL)");
    Exec("INSERT INTO VIPCards (CardNo, NowTotal) VALUES ('A', 1.5)");
    Exec("INSERT INTO VIPCards (CardNo, NowTotal) VALUES ('B', 2.5)");
    // The engine must run a bound statement through sp_executesql.
    BoundStatement probe{"SELECT @P1 AS v", {Variant(1)}, {ftInteger}};
    std::string error = ErrorOf([&] { ExecuteBound(connection(), probe); });
    if (!error.empty()) GTEST_SKIP() << "no bound statements on this database: " << error;
  }

  DataPacket CardsDelta(std::vector<PacketRow> rows) {
    DataPacket d;
    d.kind = PacketKind::kDelta;
    PacketField id = Field("CardID", ftAutoInc, true);
    id.read_only = id.auto_increment = true;
    d.fields = {id, Field("CardNo", ftString), Field("NowTotal", ftBCD),
                Field("HolderPhoto", ftBlob)};
    d.fields[2].precision = 24;
    d.fields[2].scale = 10;
    d.rows = std::move(rows);
    return d;
  }

  std::string Cards() {
    db::Query q(&connection());
    q.SetSql("SELECT CardID, CardNo, NowTotal FROM VIPCards ORDER BY CardID");
    q.Open();
    std::string out;
    for (q.First(); !q.Eof(); q.Next()) {
      out += q.Fields(0).AsString() + ":" + q.Fields(1).AsString() + ":" + q.Fields(2).AsString() +
             ";";
    }
    return out;
  }

  // The messages of an error packet's rows.
  static std::string Messages(const Variant& result) {
    if (result.IsNull()) return "";
    std::string out;
    for (const PacketRow& r : DataPacket::FromVariant(result).rows) out += r.error_message + ";";
    return out;
  }

  Variant Apply(const DataPacket& d, UpdateMode mode, int32_t max_errors, int32_t& errors) {
    return ApplyDelta(connection(), d, "[VIPCards]", mode, max_errors, errors);
  }
};

TEST_F(DeltaResolverTest, InsertsUpdatesAndDeletesInKeyOnlyMode) {
  const Variant null = Variant::Null();
  DataPacket d = CardsDelta({
      Row(RowState::kInserted,
          {Variant(), Variant("C"), Variant::Custom(kVarTypeFmtBcd, "123456.0000000001"),
           Variant(std::vector<uint8_t>{0, 1})}),
      // The key finds the row although the client's original NowTotal is stale.
      Row(RowState::kModified, {Variant(1), Variant("A2"), Variant(9.0), null},
          {Variant(1), Variant("A"), Variant(7.0), null}),
      Row(RowState::kDeleted, {Variant(2), Variant("B"), null, null}),
  });
  int32_t errors = -1;
  EXPECT_EQ(Messages(Apply(d, UpdateMode::kWhereKeyOnly, 0, errors)), "");
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Cards(), "1:A2:9;3:C:123456.0000000001;");
  EXPECT_FALSE(connection().InTransaction());
}

TEST_F(DeltaResolverTest, AConflictingUpdateComesBackAsAnErrorRow) {
  DataPacket d = CardsDelta({
      // Someone else changed B's total since the client read it.
      Row(RowState::kModified, {Variant(2), Variant("B2"), Variant(2.0), Variant::Null()},
          {Variant(2), Variant("B"), Variant(99.0), Variant::Null()}),
      Row(RowState::kModified, {Variant(1), Variant("A2"), Variant(1.5), Variant::Null()},
          {Variant(1), Variant("A"), Variant(1.5), Variant::Null()}),
  });
  int32_t errors = 0;
  Variant result = Apply(d, UpdateMode::kWhereAll, -1, errors);
  EXPECT_EQ(errors, 1);
  DataPacket failed = DataPacket::FromVariant(result);
  EXPECT_EQ(failed.kind, PacketKind::kErrors);
  ASSERT_EQ(failed.rows.size(), 1u);
  EXPECT_EQ(failed.rows[0].values[1], Variant("B2"));
  EXPECT_EQ(failed.rows[0].error_message, "Record not found or changed by another user");
  // Within MaxErrors, the rows that worked stay.
  EXPECT_EQ(Cards(), "1:A2:1.5;2:B:2.5;");
}

TEST_F(DeltaResolverTest, MoreErrorsThanMaxErrorsRollEverythingBack) {
  DataPacket d = CardsDelta({
      Row(RowState::kInserted, {Variant(), Variant("C"), Variant(1.0), Variant::Null()}),
      Row(RowState::kDeleted, {Variant(1), Variant("A"), Variant(1.5), Variant::Null()}),
      // Longer than the column: the database refuses it.
      Row(RowState::kModified,
          {Variant(2), Variant(std::string(40, 'x')), Variant(2.5), Variant::Null()},
          {Variant(2), Variant("B"), Variant(2.5), Variant::Null()}),
  });
  int32_t errors = 0;
  Variant result = Apply(d, UpdateMode::kWhereKeyOnly, 0, errors);
  EXPECT_EQ(errors, 1);
  DataPacket failed = DataPacket::FromVariant(result);
  ASSERT_EQ(failed.rows.size(), 1u);
  EXPECT_FALSE(failed.rows[0].error_message.empty());
  EXPECT_EQ(Cards(), "1:A:1.5;2:B:2.5;");
  EXPECT_FALSE(connection().InTransaction());
  // With room for one error the rest is written.
  result = Apply(d, UpdateMode::kWhereKeyOnly, 1, errors);
  EXPECT_EQ(errors, 1);
  // The rolled-back insert used up identity 3, as on SQL Server.
  EXPECT_EQ(Cards(), "2:B:2.5;4:C:1;");
}

TEST_F(DeltaResolverTest, ThroughTheProviderTheTableComesFromTheQuery) {
  db::Query cards(&connection());
  cards.SetSql("select * from VIPCards");
  DataPacket d = CardsDelta(
      {Row(RowState::kDeleted, {Variant(1), Variant("A"), Variant::Null(), Variant::Null()})});
  int32_t errors = -1;
  EXPECT_TRUE(
      ApplyUpdates(ProviderByName("dpVipCards"), &cards, connection(), d.ToVariant(), 0, errors)
          .IsNull());
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Cards(), "2:B:2.5;");
  // A client that calls CardNo the key and CardID writable changes nothing
  // of that: the row is found by CardID and CardID stays.
  DataPacket sly = CardsDelta(
      {Row(RowState::kModified, {Variant(5), Variant("Z"), Variant(2.5), Variant::Null()},
           {Variant(2), Variant("B"), Variant(2.5), Variant::Null()})});
  sly.fields[0].key = sly.fields[0].read_only = sly.fields[0].auto_increment = false;
  sly.fields[1].key = true;
  EXPECT_EQ(Messages(ApplyUpdates(ProviderByName("dpVipCards"), &cards, connection(),
                                  sly.ToVariant(), 0, errors)),
            "");
  EXPECT_EQ(Cards(), "2:Z:2.5;");
  EXPECT_EQ(ErrorOf([&] {
              ApplyUpdates(ProviderByName("dpVipCards"), &cards, connection(), Variant("x"), 0,
                           errors);
            }),
            "A data packet is a byte array, not a variant of type (OleStr)");
}

}  // namespace
}  // namespace tillbase::session

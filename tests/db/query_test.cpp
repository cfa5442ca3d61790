#include "db/query.h"

#include <gtest/gtest.h>

#include <functional>

#include "db/errors.h"
#include "db_fixture.h"
#include "shared/ole_date.h"
#include "shared/proc_params.h"

namespace tillbase::db {
namespace {

using testing::EmbeddedDbTest;

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

class QueryTest : public EmbeddedDbTest {
 protected:
  // A table n of 2500 rows (i = 0..2499), opened in order on q.
  void OpenNumbers(Query& q) {
    Exec("CREATE TABLE n (i int)");
    Exec(
        "DECLARE @i int SET @i = 0 WHILE @i < 2500 BEGIN INSERT INTO n VALUES (@i) "
        "SET @i = @i + 1 END");
    q.SetSql("SELECT i FROM n ORDER BY i");
    q.Open();
  }
  void SetUp() override {
    EmbeddedDbTest::SetUp();
    Exec(
        "CREATE TABLE goods (id int IDENTITY(1,1) PRIMARY KEY, code varchar(20) NOT NULL, "
        "name nvarchar(30), qty numeric(18,4), price money, sold datetime, active bit)");
    Exec(
        "INSERT INTO goods (code, name, qty, price, sold, active) VALUES "
        "('A1', N'苹果', 12.5, 3.25, '2024-03-01 10:30:00', 1)");
    Exec(
        "INSERT INTO goods (code, name, qty, price, sold, active) VALUES "
        "('B2', NULL, NULL, NULL, NULL, 0)");
  }
};

TEST_F(QueryTest, FieldsDescribeTheirColumns) {
  Query q(&connection());
  q.SetSql("SELECT id, code, name, qty, price, sold, active FROM goods ORDER BY id");
  q.Open();
  struct Expect {
    const char* name;
    int data_type;
    int size;
  };
  const Expect fields[] = {
      {"id", ftInteger, 0}, {"code", ftString, 20},  {"name", ftWideString, 30}, {"qty", ftBCD, 4},
      {"price", ftBCD, 4},  {"sold", ftDateTime, 0}, {"active", ftBoolean, 0}};
  ASSERT_EQ(q.FieldCount(), 7);
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(fields[i].name);
    EXPECT_EQ(q.Fields(i).name(), fields[i].name);
    EXPECT_EQ(q.Fields(i).data_type(), fields[i].data_type);
    EXPECT_EQ(q.Fields(i).size(), fields[i].size);
  }
  EXPECT_EQ(q.FieldByName("qty").precision(), 18);
  EXPECT_EQ(q.FieldByName("qty").scale(), 4);
  EXPECT_TRUE(q.FieldByName("id").def().read_only);
  EXPECT_TRUE(q.FieldByName("code").def().required);

  EXPECT_EQ(q.FieldByName("CODE").AsString(), "A1");
  EXPECT_EQ(q.FieldByName("name").AsString(), "苹果");
  EXPECT_EQ(q.FieldByName("qty").Value().type(), VT_DECIMAL);
  EXPECT_EQ(q.FieldByName("qty").AsFloat(), 12.5);
  EXPECT_EQ(q.FieldByName("price").Value().type(), VT_CY);
  EXPECT_EQ(FormatDateTime(q.FieldByName("sold").Value().ToDate()), "2024-03-01 10:30:00");
  EXPECT_TRUE(q.FieldByName("active").AsBoolean());

  q.Next();
  ASSERT_FALSE(q.Eof());
  EXPECT_TRUE(q.FieldByName("name").IsNull());
  EXPECT_EQ(q.FieldByName("name").AsString(), "");
  EXPECT_EQ(q.FieldByName("qty").AsFloat(), 0.0);
  EXPECT_EQ(q.FieldByName("qty").AsInteger(), 0);
  q.Next();
  EXPECT_TRUE(q.Eof());
  EXPECT_TRUE(q.FieldByName("code").IsNull());  // no current record
  q.First();
  EXPECT_EQ(q.FieldByName("code").AsString(), "A1");

  EXPECT_EQ(MessageOf([&] { q.FieldByName("nope"); }), "Field 'nope' not found");
  EXPECT_EQ(MessageOf([&] { q.Fields(7); }), "List index out of bounds (7)");
}

TEST_F(QueryTest, BcdOffDeliversDoubles) {
  Query q(&connection());
  q.SetEnableBcd(false);
  q.SetSql("SELECT qty, price FROM goods WHERE code = 'A1'");
  q.Open();
  EXPECT_EQ(q.Fields(0).data_type(), ftFloat);
  EXPECT_EQ(q.Fields(0).Value(), Variant(12.5));
  EXPECT_EQ(q.Fields(1).data_type(), ftFloat);
  EXPECT_EQ(q.Fields(1).Value(), Variant(3.25));
}

TEST_F(QueryTest, MisuseGivesTheLayersMessages) {
  Query q(&connection());
  EXPECT_EQ(MessageOf([&] { q.Open(); }), "Command text was not set for the command object.");
  EXPECT_EQ(MessageOf([&] { q.ExecSql(); }), "Command text was not set for the command object.");
  EXPECT_EQ(MessageOf([&] { q.First(); }), "Cannot perform this operation on a closed dataset");
  q.SetSql("UPDATE goods SET active = 1");
  EXPECT_EQ(MessageOf([&] { q.Open(); }), "CommandText does not return a result set");
  EXPECT_FALSE(q.Active());
  q.SetSql("RAISERROR('插入单据明细失败！单据无法保存！', 16, 1)");
  EXPECT_EQ(MessageOf([&] { q.ExecSql(); }), "插入单据明细失败！单据无法保存！");
  Command cmd(&connection());
  EXPECT_EQ(MessageOf([&] { cmd.Execute(); }), "Command text was not set for the command object.");
  cmd.SetCommandText("UPDATE goods SET active = 0");
  EXPECT_EQ(cmd.Execute(), 2);
}

TEST_F(QueryTest, BatchOpensAtItsFirstResultSet) {
  // The shape of an upload batch: variables, inserts with counts, one row.
  Query q(&connection());
  q.SetSql(
      "declare @RetStr varchar(8000) \n"
      "set @RetStr = ''  \n"
      "insert into goods (code) values ('C3') \n"
      "select @RetStr = @RetStr + '12,'\n"
      "insert into goods (code) values ('D4') \n"
      "select @RetStr = @RetStr + '15,'\n"
      " select @RetStr as RetStr ");
  q.Open();
  EXPECT_EQ(q.FieldByName("RetStr").AsString(), "12,15,");
  q.SetSql("SELECT COUNT(*) AS n FROM goods");  // replacing the text closes it
  EXPECT_FALSE(q.Active());
  q.Open();
  EXPECT_EQ(q.Fields(0).AsInteger(), 4);
}

TEST_F(QueryTest, RowsAreFetchedInBlocksOfTheCacheSize) {
  Query q(&connection());
  OpenNumbers(q);
  EXPECT_EQ(q.Records().FetchedRows(), 1000u);
  int seen = 0;
  for (; !q.Eof() && seen < 1001; q.Next()) ++seen;
  EXPECT_EQ(q.Fields(0).AsInteger(), 1001);
  EXPECT_EQ(q.Records().FetchedRows(), 2000u);
  while (!q.Eof()) {
    ++seen;
    q.Next();
  }
  EXPECT_EQ(seen, 2500);
  EXPECT_EQ(q.Records().FetchedRows(), 2500u);
}

TEST_F(QueryTest, ForwardReadersMayDropTheRecordsRead) {
  Query q(&connection());
  OpenNumbers(q);
  RecordSet& records = q.Records();
  int expected = 0;
  while (!records.Eof()) {
    for (int k = 0; k < 700 && !records.Eof(); ++k, records.Next()) {
      ASSERT_EQ(q.Fields(0).AsInteger(), expected++);
    }
    records.DropReadRecords();
    EXPECT_LE(records.FetchedRows(), 1000u);  // never more than the block being read
  }
  EXPECT_EQ(expected, 2500);
  for (auto back : {+[](RecordSet& r) { r.First(); }, +[](RecordSet& r) { r.IsEmpty(); },
                    +[](RecordSet& r) { r.SetFilter("i", Variant(3)); }}) {
    try {
      back(records);
      ADD_FAILURE() << "went back over dropped records";
    } catch (const DbError& e) {
      EXPECT_STREQ(e.what(), "Operation not allowed on a unidirectional dataset");
    }
  }
  q.Close();
  q.Open();  // a new open starts at the first record again
  EXPECT_EQ(q.Fields(0).AsInteger(), 0);
}

TEST_F(QueryTest, OpenRecordSetsYieldTheConnectionToOtherStatements) {
  Exec("CREATE TABLE n (i int)");
  Exec(
      "DECLARE @i int SET @i = 0 WHILE @i < 3000 BEGIN INSERT INTO n VALUES (@i) SET @i = @i + 1 "
      "END");
  Query reader(&connection());
  reader.SetSql("SELECT i FROM n ORDER BY i\nSELECT COUNT(*) AS c FROM n");
  reader.Open();
  for (int k = 0; k < 10; ++k) reader.Next();
  // Another statement on the same connection while the reader is open.
  EXPECT_EQ(connection().Execute("UPDATE goods SET active = 0"), 2);
  int seen = 10;
  for (; !reader.Eof(); reader.Next()) {
    EXPECT_EQ(reader.Fields(0).AsInteger(), seen);
    ++seen;
  }
  EXPECT_EQ(seen, 3000);

  // A reader closed half way leaves the connection usable.
  Query half(&connection());
  half.SetSql("SELECT i FROM n\nINSERT INTO n VALUES (-1)");
  half.Open();
  half.Next();
  half.Close();
  EXPECT_EQ(connection().Execute("DELETE FROM n WHERE i = -1"), 1);  // the batch ran on

  // An error after the rows is reported when the batch is read on.
  Query failing(&connection());
  failing.SetSql("SELECT TOP 5 i FROM n\nRAISERROR('later', 16, 1)");
  failing.Open();
  EXPECT_EQ(failing.Fields(0).AsInteger(), 0);
  EXPECT_EQ(MessageOf([&] { failing.Records().FinishBatch(); }), "later");
}

TEST_F(QueryTest, FilterKeepsRowsOfOneValue) {
  Exec("CREATE TABLE who (spid int, dbname varchar(30))");
  Exec("INSERT INTO who VALUES (51, 'shop')");
  Exec("INSERT INTO who VALUES (52, 'master')");
  Exec("INSERT INTO who VALUES (53, 'SHOP')");
  Exec("INSERT INTO who VALUES (54, NULL)");
  Query q(&connection());
  q.SetSql("SELECT spid, dbname FROM who ORDER BY spid");
  q.SetFilter("dbname", Variant("shop"));
  q.Open();
  std::vector<int> spids;
  for (q.First(); !q.Eof(); q.Next()) spids.push_back(q.FieldByName("spid").AsInteger());
  EXPECT_EQ(spids, (std::vector<int>{51, 53}));
  q.Records().SetFilter("spid", Variant(52));
  EXPECT_EQ(q.FieldByName("dbname").AsString(), "master");
  q.ClearFilter();
  int all = 0;
  for (q.First(); !q.Eof(); q.Next()) ++all;
  EXPECT_EQ(all, 4);
  EXPECT_EQ(MessageOf([&] { q.Records().SetFilter("db", Variant("x")); }), "Field 'db' not found");
}

}  // namespace
}  // namespace tillbase::db

#include "rpc/client_dataset.h"

#include <gtest/gtest.h>

#include <functional>

namespace tillbase::rpc {
namespace {

std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

Variant Page(std::vector<std::pair<int, const char*>> rows) {
  DataPacket p;
  PacketField id{"CardID", 14};
  id.key = id.read_only = id.auto_increment = true;
  p.fields = {id, PacketField{"CardNo", 1, 18}};
  for (auto [k, no] : rows) {
    PacketRow r;
    r.values = {Variant(k), no ? Variant(no) : Variant::Null()};
    p.rows.push_back(std::move(r));
  }
  return p.ToVariant();
}

std::string Walk(ClientDataSet& ds) {
  std::string out;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    out += ds.FieldByName("cardid").ToString() + "=" + VarToStr(ds.FieldByName("CARDNO")) + ";";
  }
  return out;
}

TEST(ClientDataSet, LoadsPagesWalksAndReadsByName) {
  ClientDataSet ds;
  EXPECT_EQ(ErrorOf([&] { ds.First(); }), "Cannot perform this operation on a closed dataset");
  ds.Load(Page({{1, "A"}, {2, nullptr}}));
  ds.First();
  ds.Next();
  ds.Next();
  ASSERT_TRUE(ds.Eof());
  // The next page continues a reader that had reached the end.
  ds.AppendData(Page({{3, "C"}}));
  ASSERT_FALSE(ds.Eof());
  EXPECT_EQ(ds.FieldByName("CardID"), Variant(3));
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(Walk(ds), "1=A;2=;3=C;");
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("CardID"), Variant(3));
  EXPECT_EQ(ErrorOf([&] { ds.FieldByName("Nope"); }), "Field 'Nope' not found");
  ds.Next();
  EXPECT_EQ(ErrorOf([&] { ds.FieldByName("CardNo"); }), "No current record");
  DataPacket other;
  other.fields = {PacketField{"x", 3}};
  EXPECT_EQ(ErrorOf([&] { ds.AppendData(other.ToVariant()); }),
            "The packet's fields differ from those of the record set");
}

TEST(ClientDataSet, EditsBecomeADeltaWithRowStates) {
  ClientDataSet ds;
  ds.Load(Page({{1, "A"}, {2, "B"}, {3, "C"}}));
  EXPECT_TRUE(ds.Delta().IsNull());
  ds.First();
  ds.Next();
  ds.SetFieldByName("cardno", Variant("B2"));
  EXPECT_EQ(ErrorOf([&] { ds.SetFieldByName("CardID", Variant(9)); }),
            "Field 'CardID' cannot be modified");
  ds.First();
  ds.SetFieldByName("CardNo", Variant("A2"));
  ds.Delete();  // a modified row is deleted as it was read
  EXPECT_EQ(ds.FieldByName("CardID"), Variant(2));
  ds.Append();
  ds.SetFieldByName("CardNo", Variant("N"));
  ds.Append();
  ds.Delete();  // an appended row that is deleted again is never sent
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.ChangeCount(), 3);

  DataPacket delta = DataPacket::FromVariant(ds.Delta());
  EXPECT_EQ(delta.kind, PacketKind::kDelta);
  ASSERT_EQ(delta.rows.size(), 3u);
  EXPECT_EQ(delta.rows[0].state, RowState::kDeleted);
  EXPECT_EQ(delta.rows[0].values[1], Variant("A"));
  EXPECT_EQ(delta.rows[1].state, RowState::kModified);
  EXPECT_EQ(delta.rows[1].original[1], Variant("B"));
  EXPECT_EQ(delta.rows[1].values[1], Variant("B2"));
  EXPECT_EQ(delta.rows[2].state, RowState::kInserted);
  EXPECT_TRUE(delta.rows[2].values[0].IsEmpty());  // left to the database

  ClientDataSet undo = ds;
  undo.CancelUpdates();
  EXPECT_EQ(Walk(undo), "1=A;2=B;3=C;");
  ds.MergeChangeLog();
  EXPECT_EQ(ds.ChangeCount(), 0);
  EXPECT_EQ(Walk(ds), "2=B2;3=C;=N;");
}

}  // namespace
}  // namespace tillbase::rpc

// Other databases reached from a session: when an attached database counts
// as in use for DROP and RESTORE, files whose views earlier versions stored
// with main-qualified names, and readers across databases during restores.
#include "engine/core/databases.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "engine/engine.h"
#include "engine_test_util.h"

namespace tillbase::engine {
namespace {

namespace fs = std::filesystem;

using testing::Errors;
using testing::Str;

class Databases : public ::testing::Test {
 protected:
  Databases() {
    std::string tmpl = (fs::temp_directory_path() / "tillbase-dbs-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    Open();
  }
  ~Databases() override {
    sa_.reset();
    engine_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Open() {
    EngineOptions o;
    o.data_dir = (dir_ / "data").string();
    o.server_name = "tillbase";
    engine_ = Engine::Open(o);
    sa_ = Connect();
  }
  std::unique_ptr<Connection> Connect(const std::string& db = "master") {
    ConnectOptions c;
    c.database = db;
    c.login = "sa";
    return engine_->Connect(c);
  }
  BatchResult Run(const std::string& sql, Connection* c = nullptr) {
    return testing::RunOk(c ? *c : *sa_, sql);
  }
  std::string One(const std::string& sql, Connection* c = nullptr) {
    return testing::OneValue(c ? *c : *sa_, sql);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
  std::shared_ptr<Engine> engine_;
  std::unique_ptr<Connection> sa_;
};

TEST(UnqualifyMain, RemovesOnlyTheSchemaQualifier) {
  const std::pair<const char*, const char*> cases[] = {
      {R"(CREATE VIEW "v" AS SELECT "t"."a" FROM main."t" AS "t")",
       R"(CREATE VIEW "v" AS SELECT "t"."a" FROM "t" AS "t")"},
      {"SELECT * FROM MAIN.t JOIN (main.u) ON 1", "SELECT * FROM t JOIN (u) ON 1"},
      {"SELECT 'main.x', \"main\".\"t\".a, [main].b, x.main.c FROM main.__tb_objects",
       "SELECT 'main.x', \"main\".\"t\".a, [main].b, x.main.c FROM __tb_objects"},
      {"SELECT 'it''s main.t' AS main FROM mainly.t -- main.t",
       "SELECT 'it''s main.t' AS main FROM mainly.t -- main.t"},
      {"SELECT /* main.t */ 1 FROM remain.t, main  .t",
       "SELECT /* main.t */ 1 FROM remain.t, main  .t"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(core::UnqualifyMain(in), out) << in;
}

// Files written before views were stored unqualified: their views (the
// system views too) name "main", which SQLite refuses in an attached file.
TEST_F(Databases, ViewsOfEarlierFilesAreRewrittenWhenAttachedOrOpened) {
  for (const char* db : {"shop_a", "shop_b"}) {
    Run(std::string("CREATE DATABASE ") + db);
    auto c = Connect(db);
    Run("CREATE TABLE t (id int, name varchar(10)) INSERT INTO t VALUES (1, 'x')", c.get());
    Run("CREATE VIEW v AS SELECT id, name FROM t", c.get());
  }
  sa_.reset();
  engine_.reset();
  for (const char* db : {"shop_a", "shop_b"}) {
    std::string file = (dir_ / "data" / (std::string(db) + ".sqlite")).string();
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &h), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(h,
                           "DROP VIEW v; CREATE VIEW main.\"v\" (\"id\", \"name\") AS SELECT "
                           "\"t\".\"id\", \"t\".\"name\" FROM main.\"t\" AS \"t\";"
                           "DROP VIEW sysobjects; CREATE VIEW main.\"sysobjects\" AS SELECT name, "
                           "id, type AS xtype, type, 1 AS uid, 0 AS parent_obj, crdate FROM "
                           "main.__tb_objects",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(h);
  }
  Open();
  // shop_a is first reached from another database, shop_b opened directly.
  EXPECT_EQ(One("SELECT name FROM shop_a..v"), "x");
  EXPECT_EQ(One("SELECT COUNT(*) FROM shop_a..sysobjects WHERE name = 'v'"), "1");
  auto b = Connect("shop_b");
  EXPECT_EQ(One("SELECT name FROM v", b.get()), "x");
  EXPECT_EQ(One("SELECT COUNT(*) FROM shop_b.dbo.v JOIN shop_a..v a ON a.id = 1"), "1");
  for (const char* db : {"shop_a", "shop_b"}) {
    std::string file = (dir_ / "data" / (std::string(db) + ".sqlite")).string();
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &h), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "SELECT count(*) FROM sqlite_master WHERE sql LIKE '%main.%'", -1, &st,
                       nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 0) << db;
    sqlite3_finalize(st);
    sqlite3_close(h);
  }
}

// Another database is attached for one call, or until the transaction that
// used it ends; only then may another session drop or restore it.
TEST_F(Databases, AttachedDatabaseIsInUseWhileATransactionHoldsIt) {
  Run("CREATE DATABASE shop");
  auto shop = Connect("shop");
  Run("CREATE TABLE t (id int) INSERT INTO t VALUES (1)", shop.get());
  shop.reset();
  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT");
  auto reader = Connect();
  Run("INSERT INTO shop..t VALUES (2)", reader.get());
  // Between calls nothing holds shop.
  Run("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE");
  EXPECT_EQ(One("SELECT COUNT(*) FROM shop..t", reader.get()), "1");

  Run("BEGIN TRAN INSERT INTO shop.dbo.t VALUES (3)", reader.get());
  EXPECT_EQ(
      Errors(sa_->ExecuteBatch("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE")),
      (std::vector<int>{3101, 3013}));
  EXPECT_EQ(Errors(sa_->ExecuteBatch("DROP DATABASE shop")), std::vector<int>{3702});
  EXPECT_EQ(One("SELECT name FROM sysdatabases WHERE name = 'shop'"), "shop");
  Run("COMMIT", reader.get());
  EXPECT_EQ(One("SELECT COUNT(*) FROM shop..t", reader.get()), "2");
  // The restoring session's own use of the database does not stand in its way.
  Run("SELECT COUNT(*) FROM shop..t RESTORE DATABASE shop FROM DISK = '" + bak +
      "' WITH REPLACE SELECT COUNT(*) FROM shop..t");
  EXPECT_EQ(One("SELECT COUNT(*) FROM shop..t", reader.get()), "1");
  // The reader's cached statement finds the database gone.
  Run("DROP DATABASE shop");
  EXPECT_EQ(Errors(reader->ExecuteBatch("SELECT COUNT(*) FROM shop..t")), std::vector<int>{911});
  EXPECT_EQ(Errors(reader->ExecuteBatch("INSERT INTO shop..t VALUES (2)")), std::vector<int>{911});
}

// A USE that cannot open the other file leaves the session in its database,
// which stays in use (its file is still open), with its #tables.
TEST_F(Databases, FailedUseKeepsTheDatabaseInUse) {
  Run("CREATE DATABASE shop");
  Run("CREATE DATABASE gone");
  std::string gone_file = One("SELECT filename FROM sysdatabases WHERE name = 'gone'");
  auto shop = Connect("shop");
  Run("CREATE TABLE #t (id int) INSERT INTO #t VALUES (7)", shop.get());
  fs::remove(gone_file);
  EXPECT_EQ(Errors(shop->ExecuteBatch("USE gone")), std::vector<int>{4060});
  EXPECT_EQ(One("SELECT DB_NAME()", shop.get()), "shop");
  EXPECT_EQ(One("SELECT id FROM #t", shop.get()), "7");
  EXPECT_EQ(Errors(sa_->ExecuteBatch("DROP DATABASE shop")), std::vector<int>{3702});
  shop.reset();
  Run("DROP DATABASE shop");
}

class DatabasesConcurrency : public Databases {};

// Readers in master keep reading shop..t while shop is restored again and
// again: each restore either finds shop in use or replaces it while no
// reader has it attached; a reader sees the backup's rows or 927.
TEST_F(DatabasesConcurrency, RestoreWhileOthersReadAcrossDatabases) {
  Run("CREATE DATABASE shop");
  Run("SELECT 1 AS id INTO shop..t");
  Run("CREATE VIEW v AS SELECT id FROM t", Connect("shop").get());
  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT");
  std::atomic<bool> stop{false};
  std::atomic<int> ready{0}, wrong{0}, reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      auto c = Connect();
      ++ready;
      while (!stop) {
        BatchResult r = c->ExecuteBatch("SELECT COUNT(*) FROM shop..v");
        std::vector<int> errors = Errors(r);
        if (errors.empty()) {
          if (r.result_sets.size() != 1 || Str(r.result_sets[0].rows[0][0]) != "1") ++wrong;
          ++reads;
        } else if (errors != std::vector<int>{927}) {
          ++wrong;
        }
      }
    });
  }
  while (ready < 3) std::this_thread::yield();
  for (int i = 0; i < 20; ++i) {
    std::vector<int> errors =
        Errors(sa_->ExecuteBatch("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE"));
    EXPECT_TRUE(errors.empty() || errors == (std::vector<int>{3101, 3013})) << errors[0];
  }
  while (reads < 10) std::this_thread::yield();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong, 0);
  Run("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE");
  EXPECT_EQ(One("SELECT COUNT(*) FROM shop..v"), "1");
}

// Sessions switch between shop and master (keeping their #tables) while
// shop is restored again and again: a restore either finds shop in use or
// replaces it while no session is in it; a USE of shop either gets in or
// meets the restore (927).
TEST_F(DatabasesConcurrency, RestoreWhileOthersSwitchDatabases) {
  Run("CREATE DATABASE shop");
  Run("SELECT 1 AS id INTO shop..t");
  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT");
  std::atomic<bool> stop{false};
  std::atomic<int> ready{0}, wrong{0}, rounds{0};
  std::vector<std::thread> users;
  for (int i = 0; i < 2; ++i) {
    users.emplace_back([&] {
      auto c = Connect();
      c->ExecuteBatch("CREATE TABLE #mine (n int) INSERT INTO #mine VALUES (1), (2)");
      ++ready;
      while (!stop) {
        BatchResult r = c->ExecuteBatch("USE shop SELECT COUNT(*) FROM t");
        std::vector<int> errors = Errors(r);
        if (errors.empty()) {
          if (r.result_sets.size() != 1 || Str(r.result_sets[0].rows[0][0]) != "1") ++wrong;
        } else if (errors != std::vector<int>{927, 208}) {  // the batch goes on in master
          ++wrong;
        }
        r = c->ExecuteBatch("USE master SELECT COUNT(*) FROM #mine");
        if (!Errors(r).empty() || r.result_sets.size() != 1 ||
            Str(r.result_sets[0].rows[0][0]) != "2") {
          ++wrong;
        }
        ++rounds;
      }
    });
  }
  while (ready < 2) std::this_thread::yield();
  for (int i = 0; i < 20; ++i) {
    std::vector<int> errors =
        Errors(sa_->ExecuteBatch("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE"));
    EXPECT_TRUE(errors.empty() || errors == (std::vector<int>{3101, 3013})) << errors[0];
  }
  while (rounds < 10) std::this_thread::yield();
  stop = true;
  for (auto& t : users) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(One("SELECT COUNT(*) FROM shop..t"), "1");
}

}  // namespace
}  // namespace tillbase::engine

// The engine's server level through the public interface: logins, sessions
// and KILL, backups and restores, and what several connections on several
// threads may do at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "engine/engine.h"
#include "engine_test_util.h"

namespace tillbase::engine {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "tillbase-server-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path path() const { return path_; }

 private:
  fs::path path_;
};

using testing::Errors;
using testing::Str;

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void Open() {
    EngineOptions o;
    o.data_dir = (dir_.path() / "data").string();
    o.server_name = "tillbase";
    o.sa_password = "s3cret";
    engine_ = Engine::Open(o);
    sa_ = Connect();
  }
  std::unique_ptr<Connection> Connect(const std::string& db = "master",
                                      const std::string& login = "sa",
                                      const std::string& password = "s3cret") {
    ConnectOptions c;
    c.database = db;
    c.login = login;
    c.password = password;
    c.host_name = "POS01";
    c.program_name = "till";
    return engine_->Connect(c);
  }
  BatchResult Run(const std::string& sql, Connection* c = nullptr) {
    return testing::RunOk(c ? *c : *sa_, sql);
  }
  std::string One(const std::string& sql, Connection* c = nullptr) {
    return testing::OneValue(c ? *c : *sa_, sql);
  }
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  TempDir dir_;
  std::shared_ptr<Engine> engine_;
  std::unique_ptr<Connection> sa_;
};

// ---- logins -----------------------------------------------------------------

TEST_F(ServerTest, LoginsAreCheckedAgainstSaltedHashes) {
  EXPECT_THROW(Connect("master", "sa", "wrong"), EngineError);
  try {
    Connect("master", "nobody", "x");
    FAIL();
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), 18456);
    EXPECT_STREQ(e.what(), "Login failed for user 'nobody'.");
  }
  Run("CREATE LOGIN clerk WITH PASSWORD = 'pw1', CHECK_POLICY = OFF");
  auto clerk = Connect("master", "CLERK", "pw1");
  EXPECT_EQ(One("SELECT SUSER_SNAME()", clerk.get()), "clerk");
  EXPECT_EQ(Errors(sa_->ExecuteBatch("CREATE LOGIN clerk WITH PASSWORD = 'x'")),
            std::vector<int>{15025});
  Run("ALTER LOGIN clerk WITH PASSWORD = 'pw2'");
  EXPECT_THROW(Connect("master", "clerk", "pw1"), EngineError);
  Connect("master", "clerk", "pw2");
  EXPECT_EQ(Errors(sa_->ExecuteBatch("ALTER LOGIN ghost WITH PASSWORD = 'x'")),
            std::vector<int>{15151});
  // Nothing in master holds the password itself.
  BatchResult all = Run("SELECT name FROM syslogins ORDER BY name");
  ASSERT_EQ(all.result_sets[0].rows.size(), 2u);
  for (const char* secret : {"pw2", "s3cret"}) {
    std::string db = (dir_.path() / "data" / "master.sqlite").string();
    FILE* f = std::fopen(db.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string bytes;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
    EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
  }
}

TEST_F(ServerTest, SaPasswordIsKeptWhenTheDirectoryIsOpenedAgain) {
  sa_.reset();
  engine_.reset();
  EngineOptions o;
  o.data_dir = (dir_.path() / "data").string();
  o.sa_password = "other";  // only an initialisation sets it
  engine_ = Engine::Open(o);
  EXPECT_THROW(Connect("master", "sa", "other"), EngineError);
  Connect("master", "sa", "s3cret");
}

TEST_F(ServerTest, TrustedLoginIsTheOperatingSystemUserAndDatabasesAreChecked) {
  ConnectOptions c;
  c.trusted = true;
  c.login = "ignored";
  c.host_name = "BACKOFFICE";
  auto conn = engine_->Connect(c);
  std::string user = One("SELECT SUSER_SNAME()", conn.get());
  EXPECT_FALSE(user.empty());
  EXPECT_NE(user, "ignored");
  EXPECT_EQ(One("SELECT HOST_NAME()", conn.get()), "BACKOFFICE");
  EXPECT_EQ(One("SELECT @@SERVERNAME"), "tillbase");
  EXPECT_EQ(One("SELECT SERVERPROPERTY('InstanceName')"), "NULL");
  try {
    Connect("nosuch");
    FAIL();
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), 4060);
  }
}

// ---- sessions -----------------------------------------------------------------

TEST_F(ServerTest, SpWhoListsSessionsWithSqlServersColumns) {
  Run("CREATE DATABASE shop");
  auto pos = Connect("shop");
  BatchResult r = Run("sp_who");
  ASSERT_EQ(r.result_sets.size(), 1u);
  std::vector<std::string> names;
  for (const Column& c : r.result_sets[0].columns) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"spid", "ecid", "status", "loginame", "hostname",
                                             "blk", "dbname", "cmd", "request_id"}));
  bool seen_pos = false, seen_self = false;
  for (const auto& row : r.result_sets[0].rows) {
    int spid = std::stoi(Str(row[0]));
    EXPECT_GT(spid, 50);
    if (spid == pos->Spid()) {
      seen_pos = true;
      EXPECT_EQ(Str(row[2]), "sleeping");
      EXPECT_EQ(Str(row[3]), "sa");
      EXPECT_EQ(Str(row[4]), "POS01");
      EXPECT_EQ(Str(row[6]), "shop");
      EXPECT_EQ(Str(row[7]), "AWAITING COMMAND");
    }
    if (spid == sa_->Spid()) {
      seen_self = true;
      EXPECT_EQ(Str(row[2]), "runnable");
      EXPECT_EQ(Str(row[6]), "master");
    }
  }
  EXPECT_TRUE(seen_pos);
  EXPECT_TRUE(seen_self);
  // The row goes with the connection.
  int gone = pos->Spid();
  pos.reset();
  BatchResult after = Run("EXEC sp_who");
  for (const auto& row : after.result_sets[0].rows) {
    EXPECT_NE(std::stoi(Str(row[0])), gone);
  }
}

// "cmd" of a running call: the first words of its batch, read while it runs
// (its own sp_who here); EXECUTE for a procedure call.
TEST_F(ServerTest, SpWhoShowsWhatARunningCallIsDoing) {
  auto own_cmd = [&](const std::vector<ResultSet>& sets) {
    for (const auto& row : sets.at(0).rows) {
      if (std::stoi(Str(row[0])) == sa_->Spid()) return Str(row[2]) + "/" + Str(row[7]);
    }
    return std::string("missing");
  };
  const std::pair<const char*, const char*> cases[] = {
      {"exec sp_who", "runnable/EXECUTE"},
      {"  Execute sp_who", "runnable/EXECUTE"},
      {"select 1 exec sp_who", "runnable/SELECT"},
      {"declare @x int exec sp_who", "runnable/DECLARE"},
  };
  for (const auto& [sql, cmd] : cases) {
    BatchResult r = Run(sql);
    std::vector<ResultSet> sets;
    for (ResultSet& set : r.result_sets) {
      if (!set.columns.empty() && set.columns[0].name == "spid") sets.push_back(std::move(set));
    }
    EXPECT_EQ(own_cmd(sets), cmd) << sql;
  }
  CollectingSink sink;
  sa_->CallProcedure("sp_who", {}, sink);
  EXPECT_EQ(own_cmd(sink.result().result_sets), "runnable/EXECUTE");
  // Between calls the session waits for the next one.
  auto other = Connect();
  EXPECT_EQ(own_cmd(Run("sp_who", other.get()).result_sets), "sleeping/AWAITING COMMAND");
}

// A client refreshes a procedure's parameters before it calls it: system
// procedures describe SQL Server's parameters, and a call that passes every
// one of them by name (NULL where the client set nothing) runs.
TEST_F(ServerTest, SystemProceduresDescribeTheirParameters) {
  Run("CREATE TABLE t (id int, name varchar(10))");
  Run("CREATE PROCEDURE p @a int AS SELECT @a");
  struct Case {
    const char* proc;
    std::vector<std::string> params;  // "@name type/length default?"
    std::vector<std::pair<std::string, Value>> values;
    const char* first_column;
  };
  const std::vector<Case> cases = {
      {"sp_who", {"@loginame kNVarChar/256 d"}, {}, "spid"},
      {"SP_TABLES",
       {"@table_name kNVarChar/768 d", "@table_owner kNVarChar/768 d",
        "@table_qualifier kNVarChar/256 d", "@table_type kVarChar/100 d", "@fUsePattern kBit/1 d"},
       {{"@table_name", std::string("t")}},
       "TABLE_QUALIFIER"},
      {"master.dbo.sp_columns",
       {"@table_name kNVarChar/768", "@table_owner kNVarChar/768 d",
        "@table_qualifier kNVarChar/256 d", "@column_name kNVarChar/768 d", "@ODBCVer kInt/4 d"},
       {{"@table_name", std::string("t")}},
       "TABLE_QUALIFIER"},
      {"sp_sproc_columns",
       {"@procedure_name kNVarChar/780 d", "@procedure_owner kNVarChar/768 d",
        "@procedure_qualifier kNVarChar/256 d", "@column_name kNVarChar/768 d", "@ODBCVer kInt/4 d",
        "@fUsePattern kBit/1 d"},
       {{"@procedure_name", std::string("p")}},
       "PROCEDURE_QUALIFIER"},
      {"sp_executesql",
       {"@stmt kNVarChar/-1", "@params kNVarChar/-1 d"},
       {{"@stmt", std::string("SELECT 5 AS five")}},
       "five"},
  };
  auto type_name = [](SqlType t) {
    switch (t) {
      case SqlType::kNVarChar:
        return "kNVarChar";
      case SqlType::kVarChar:
        return "kVarChar";
      case SqlType::kBit:
        return "kBit";
      case SqlType::kInt:
        return "kInt";
      default:
        return "?";
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proc);
    std::vector<ProcParamInfo> d = sa_->DescribeProcedure(c.proc);
    ASSERT_EQ(d.size(), c.params.size() + 1);
    EXPECT_EQ(d[0].name, "@RETURN_VALUE");
    EXPECT_EQ(d[0].direction, ParamDirection::kReturnValue);
    EXPECT_EQ(d[0].type.type, SqlType::kInt);
    std::vector<ProcArgument> args;
    for (size_t i = 1; i < d.size(); ++i) {
      EXPECT_EQ(d[i].direction, ParamDirection::kInput);
      EXPECT_EQ(d[i].name + " " + type_name(d[i].type.type) + "/" +
                    std::to_string(d[i].type.length) + (d[i].has_default ? " d" : ""),
                c.params[i - 1]);
      ProcArgument a;
      a.name = d[i].name;
      for (const auto& [n, v] : c.values) {
        if (n == a.name) a.value = v;
      }
      a.type = d[i].type;
      args.push_back(a);
    }
    CollectingSink sink;
    sa_->CallProcedure(c.proc, args, sink);
    BatchResult out = sink.result();
    ASSERT_EQ(out.FirstError(), nullptr) << out.FirstError()->text;
    ASSERT_FALSE(out.result_sets.empty());
    EXPECT_EQ(out.result_sets[0].columns[0].name, c.first_column);
    EXPECT_FALSE(out.result_sets[0].rows.empty());
  }
}

TEST_F(ServerTest, KillEndsAnIdleSessionAndRollsItsTransactionBack) {
  Run("CREATE DATABASE shop");
  Run("CREATE TABLE t (id int)", Connect("shop").get());
  auto victim = Connect("shop");
  Run("BEGIN TRAN INSERT INTO t VALUES (1)", victim.get());
  EXPECT_EQ(Errors(sa_->ExecuteBatch("KILL " + std::to_string(sa_->Spid()))),
            std::vector<int>{6104});
  EXPECT_EQ(Errors(sa_->ExecuteBatch("KILL 32000")), std::vector<int>{6106});
  Run("KILL " + std::to_string(victim->Spid()));
  try {
    victim->ExecuteBatch("SELECT 1");
    FAIL() << "a killed session must not run";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), 596);
  }
  EXPECT_THROW(victim->DescribeProcedure("sp_who"), EngineError);
  // Its write lock went with it: another writer goes ahead at once.
  auto other = Connect("shop");
  Run("INSERT INTO t VALUES (2)", other.get());
  EXPECT_EQ(One("SELECT COUNT(*) FROM t WHERE id = 1", other.get()), "0");
  EXPECT_EQ(Errors(sa_->ExecuteBatch("KILL " + std::to_string(victim->Spid()))),
            std::vector<int>{6106});
}

// ---- backup and restore ------------------------------------------------------------

TEST_F(ServerTest, BackupAndRestoreRoundTripWithReplaceAndFileList) {
  Run("CREATE DATABASE shop ON (NAME = KeppaPosBaseDB_data) LOG ON (NAME = KeppaPosBaseDB_log)");
  auto shop = Connect("shop");
  Run("CREATE TABLE t (id int IDENTITY, v varchar(10)); INSERT INTO t (v) VALUES ('a'), ('b')",
      shop.get());
  shop.reset();
  std::string bak = Path("shop.bak");
  BatchResult b = Run(" Backup DataBase [shop] To Disk='" + bak + "' With Format ");
  EXPECT_TRUE(fs::exists(bak));
  ASSERT_FALSE(b.messages.empty());
  EXPECT_EQ(b.messages.back().number, 3014);

  BatchResult files = Run("RESTORE FILELISTONLY FROM DISK = '" + bak + "'");
  ASSERT_EQ(files.result_sets.size(), 1u);
  ASSERT_EQ(files.result_sets[0].rows.size(), 2u);
  EXPECT_EQ(Str(files.result_sets[0].rows[0][0]), "KeppaPosBaseDB_data");
  EXPECT_EQ(Str(files.result_sets[0].rows[0][2]), "D");
  EXPECT_EQ(Str(files.result_sets[0].rows[1][0]), "KeppaPosBaseDB_log");

  shop = Connect("shop");
  Run("DELETE FROM t; INSERT INTO t (v) VALUES ('c')", shop.get());
  shop.reset();
  // Over an existing database only WITH REPLACE.
  EXPECT_EQ(Errors(sa_->ExecuteBatch("RESTORE DATABASE shop FROM DISK = '" + bak + "'")),
            (std::vector<int>{3159, 3013}));
  BatchResult r = sa_->ExecuteBatch(" RESTORE DATABASE shop from disk='" + bak +
                                    "' with replace\nSELECT @@ERROR");
  EXPECT_TRUE(Errors(r).empty()) << r.messages[0].text;
  ASSERT_EQ(r.result_sets.size(), 1u);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][0]), "0");
  shop = Connect("shop");
  EXPECT_EQ(One("SELECT MIN(v) + MAX(v) FROM t", shop.get()), "ab");
  // Identity goes on from the restored rows, not from what was deleted.
  Run("INSERT INTO t (v) VALUES ('d')", shop.get());
  EXPECT_EQ(One("SELECT id FROM t WHERE v = 'd'", shop.get()), "3");

  // The form that makes an account set: a new database moved to new files.
  std::string mdf = Path("shop2.mdf");
  Run("restore database shop2 from disk='" + bak + "' with move 'KeppaPosBaseDB_data' to '" + mdf +
      "',move 'KeppaPosBaseDB_log' to '" + Path("shop2.ldf") + "'");
  EXPECT_TRUE(fs::exists(mdf));
  EXPECT_EQ(One("SELECT filename FROM sysdatabases WHERE name = 'shop2'"), mdf);
  EXPECT_EQ(One("SELECT COUNT(*) FROM t", Connect("shop2").get()), "2");
  // Its files exist now: doing it again without REPLACE is refused.
  EXPECT_EQ(Errors(sa_->ExecuteBatch("restore database shop3 from disk='" + bak +
                                     "' with move 'KeppaPosBaseDB_data' to '" + mdf + "'")),
            (std::vector<int>{1834, 3013}));
}

TEST_F(ServerTest, BackupAndRestoreFailuresEndWith3013) {
  Run("CREATE DATABASE shop");
  struct Case {
    std::string sql;
    std::vector<int> errors;
  } cases[] = {
      {"BACKUP DATABASE shop TO DISK = '" + Path("no/such/dir/x.bak") + "'", {3201, 3013}},
      {"BACKUP DATABASE nosuch TO DISK = '" + Path("x.bak") + "'", {911, 3013}},
      {"RESTORE DATABASE shop FROM DISK = '" + Path("missing.bak") + "' WITH REPLACE",
       {3201, 3013}},
      {"RESTORE FILELISTONLY FROM DISK = '" + Path("missing.bak") + "'", {3201, 3013}},
      {"RESTORE DATABASE shop FROM DISK = '" + Path("data/master.sqlite") + "' WITH REPLACE",
       {3241, 3013}},
  };
  for (const Case& c : cases) EXPECT_EQ(Errors(sa_->ExecuteBatch(c.sql)), c.errors) << c.sql;

  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "'");
  // A second backup into the same file only WITH INIT or FORMAT.
  EXPECT_EQ(Errors(sa_->ExecuteBatch("BACKUP DATABASE shop TO DISK = '" + bak + "'")),
            (std::vector<int>{4208, 3013}));
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH INIT");
  BatchResult r =
      sa_->ExecuteBatch("RESTORE DATABASE shop FROM DISK = '" + bak +
                        "' WITH REPLACE, MOVE 'nope' TO '" + Path("n.mdf") + "'\nSELECT @@ERROR");
  EXPECT_EQ(Errors(r), (std::vector<int>{3234, 3013}));
  ASSERT_EQ(r.result_sets.size(), 1u);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][0]), "3013");
}

TEST_F(ServerTest, RestoreNeedsExclusiveUse) {
  Run("CREATE DATABASE shop");
  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT");
  auto user = Connect("shop");
  // What the maintenance helper sends: the error number comes back as a row.
  BatchResult r = sa_->ExecuteBatch(" RESTORE DATABASE shop from disk='" + bak +
                                    "' with replace\nSELECT @@ERROR");
  EXPECT_EQ(Errors(r), (std::vector<int>{3101, 3013}));
  ASSERT_EQ(r.result_sets.size(), 1u);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][0]), "3013");
  // The helper's way: kill every session in the database, then restore.
  BatchResult who = Run("sp_who");
  for (const auto& row : who.result_sets[0].rows) {
    if (Str(row[6]) == "shop") Run("kill " + Str(row[0]));
  }
  Run("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE");
  EXPECT_THROW(user->ExecuteBatch("SELECT 1"), EngineError);
}

// ---- many connections on many threads --------------------------------------------------

// Runs under ThreadSanitizer in CI.
class ServerConcurrency : public ServerTest {};

// sp_who reads a running batch's text, which belongs to the caller and goes
// as soon as its call returns: readers on one thread, short batches in
// freshly allocated text on another (ASan would see a read of freed text).
TEST_F(ServerConcurrency, SpWhoWhileAnotherSessionRunsShortBatches) {
  auto busy = Connect();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 300; ++i) {
      auto text = std::make_unique<std::string>("SELECT " + std::to_string(i) + " AS n, 'padding'");
      BatchResult r = busy->ExecuteBatch(*text);
      EXPECT_FALSE(r.HasError());
    }
    done = true;
  });
  int seen = 0;
  while (!done.load()) {
    BatchResult who = Run("sp_who");
    for (const auto& row : who.result_sets.at(0).rows) {
      if (std::stoi(Str(row[0])) != busy->Spid()) continue;
      const std::string cmd = Str(row[7]);
      EXPECT_TRUE(cmd == "SELECT" || cmd == "AWAITING COMMAND") << cmd;
      ++seen;
    }
  }
  worker.join();
  EXPECT_GT(seen, 0);
}

TEST_F(ServerConcurrency, KillInterruptsARunningStatement) {
  Run("CREATE DATABASE shop");
  auto victim = Connect("shop");
  Run("CREATE TABLE t (id int)", victim.get());
  std::atomic<bool> returned{false};
  BatchResult result;
  std::thread worker([&] {
    result = victim->ExecuteBatch(
        "BEGIN TRAN INSERT INTO t VALUES (1) WHILE 1 = 1 BEGIN UPDATE t SET id = id END");
    returned = true;
  });
  // Wait until the loop is running (no clock: the registry says so).
  for (;;) {
    bool running = false;
    BatchResult who = Run("sp_who");
    for (const auto& row : who.result_sets[0].rows) {
      running |= std::stoi(Str(row[0])) == victim->Spid() && Str(row[2]) == "runnable";
    }
    if (running) break;
    std::this_thread::yield();
  }
  Run("KILL " + std::to_string(victim->Spid()));
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_TRUE(result.HasError());
  EXPECT_THROW(victim->ExecuteBatch("SELECT 1"), EngineError);
  auto other = Connect("shop");
  EXPECT_EQ(One("SELECT COUNT(*) FROM t", other.get()), "0");
}

TEST_F(ServerConcurrency, BackupIsAConsistentSnapshotWhileAnotherConnectionWrites) {
  Run("CREATE DATABASE shop");
  Run("CREATE TABLE t (batch int, n int)", Connect("shop").get());
  std::atomic<bool> stop{false};
  std::atomic<int> batches{0};
  std::thread writer([&] {
    auto w = Connect("shop");
    for (int b = 0; !stop && b < 2000; ++b) {
      std::string sql = "BEGIN TRAN";
      for (int i = 0; i < 10; ++i) {
        sql += " INSERT INTO t VALUES (" + std::to_string(b) + ", " + std::to_string(i) + ")";
      }
      w->ExecuteBatch(sql + " COMMIT");
      ++batches;
    }
  });
  while (batches < 5) std::this_thread::yield();
  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT");
  stop = true;
  writer.join();
  Run("RESTORE DATABASE copy FROM DISK = '" + bak + "' WITH MOVE 'shop' TO '" +
      Path("copy.sqlite") + "'");
  auto copy = Connect("copy");
  std::string rows = One("SELECT COUNT(*) FROM t", copy.get());
  EXPECT_GE(std::stoi(rows), 50);
  EXPECT_EQ(std::stoi(rows) % 10, 0) << "a transaction was cut in half";
}

TEST_F(ServerConcurrency, SixteenWritersOnOneDatabase) {
  Run("CREATE DATABASE shop");
  Run("CREATE TABLE t (writer int, n int)", Connect("shop").get());
  constexpr int kWriters = 16, kRows = 40;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      auto c = Connect("shop");
      for (int i = 0; i < kRows; ++i) {
        BatchResult r = c->ExecuteBatch("INSERT INTO t VALUES (" + std::to_string(w) + ", " +
                                        std::to_string(i) + ")");
        if (r.HasError()) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(One("SELECT COUNT(*) FROM t", Connect("shop").get()), std::to_string(kWriters * kRows));
}

TEST_F(ServerConcurrency, RestoreWhileOthersAreConnected) {
  Run("CREATE DATABASE shop");
  Run("CREATE TABLE t (id int) INSERT INTO t VALUES (1)", Connect("shop").get());
  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT");
  Run("INSERT INTO t VALUES (2)", Connect("shop").get());
  std::atomic<bool> stop{false};
  std::atomic<int> connected{0}, failures{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      auto c = Connect("shop");
      ++connected;
      while (!stop) {
        if (c->ExecuteBatch("SELECT COUNT(*) FROM t").HasError()) ++failures;
      }
    });
  }
  while (connected < 4) std::this_thread::yield();
  BatchResult refused =
      sa_->ExecuteBatch("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE");
  EXPECT_EQ(Errors(refused), (std::vector<int>{3101, 3013}));
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures, 0);
  Run("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE");
  std::vector<std::thread> after;
  std::atomic<int> right{0};
  for (int i = 0; i < 4; ++i) {
    after.emplace_back([&] {
      auto c = Connect("shop");
      BatchResult r = c->ExecuteBatch("SELECT COUNT(*) FROM t");
      if (!r.HasError() && Str(r.result_sets[0].rows[0][0]) == "1") ++right;
    });
  }
  for (auto& t : after) t.join();
  EXPECT_EQ(right, 4);
}

// What the maintenance helper does: KILL each session in the database, then
// restore at once. A victim still finishing its interrupted statement is
// waited for, not overwritten under its open file.
TEST_F(ServerConcurrency, RestoreRightAfterKillingABusySession) {
  Run("CREATE DATABASE shop");
  auto victim = Connect("shop");
  Run("CREATE TABLE t (id int) INSERT INTO t VALUES (1)", victim.get());
  std::string bak = Path("shop.bak");
  Run("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT");
  std::thread worker([&] {
    victim->ExecuteBatch(
        "BEGIN TRAN WHILE 1 = 1 BEGIN INSERT INTO t VALUES (2) DELETE FROM t WHERE id = 2 END");
  });
  for (bool running = false; !running;) {
    BatchResult who = Run("sp_who");
    for (const auto& row : who.result_sets[0].rows) {
      running |= std::stoi(Str(row[0])) == victim->Spid() && Str(row[2]) == "runnable";
    }
    std::this_thread::yield();
  }
  BatchResult r = sa_->ExecuteBatch("kill " + std::to_string(victim->Spid()) +
                                    " RESTORE DATABASE shop from disk='" + bak +
                                    "' with replace\nSELECT @@ERROR");
  worker.join();
  EXPECT_TRUE(Errors(r).empty());
  ASSERT_EQ(r.result_sets.size(), 1u);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][0]), "0");
  EXPECT_EQ(One("SELECT COUNT(*) FROM t", Connect("shop").get()), "1");
}

// With no command time-out a writer waits for the one holding the
// database, however long it takes; a cancelled one stops waiting.
TEST_F(ServerConcurrency, WriterWaitsForTheHolderToCommit) {
  Run("CREATE DATABASE shop");
  auto holder = Connect("shop");
  Run("CREATE TABLE t (id int)", holder.get());
  Run("BEGIN TRAN INSERT INTO t VALUES (1)", holder.get());
  auto waiter = Connect("shop");
  auto wait_until_running = [&](Connection* c) {
    for (;;) {
      BatchResult who = Run("sp_who");
      for (const auto& row : who.result_sets[0].rows) {
        if (std::stoi(Str(row[0])) == c->Spid() && Str(row[2]) == "runnable") return;
      }
      std::this_thread::yield();
    }
  };
  BatchResult waited;
  std::thread t([&] { waited = waiter->ExecuteBatch("INSERT INTO t VALUES (2)"); });
  wait_until_running(waiter.get());
  Run("COMMIT", holder.get());
  t.join();
  EXPECT_FALSE(waited.HasError());

  Run("BEGIN TRAN INSERT INTO t VALUES (3)", holder.get());
  BatchResult cancelled;
  std::atomic<bool> done{false};
  std::thread c([&] {
    cancelled = waiter->ExecuteBatch("INSERT INTO t VALUES (4)");
    done = true;
  });
  wait_until_running(waiter.get());
  // A cancel that comes before the wait starts is taken back by the batch
  // starting; so cancel until the call returns.
  while (!done) {
    waiter->Cancel();
    std::this_thread::yield();
  }
  c.join();
  EXPECT_TRUE(cancelled.HasError());
  Run("COMMIT", holder.get());
  EXPECT_EQ(One("SELECT COUNT(*) FROM t", holder.get()), "3");
}

// A child process commits rows and reports each commit; it is killed with
// SIGKILL in the middle of an open transaction. Every reported row must be
// there afterwards, and nothing of the open transaction.
TEST(ServerCrash, CommittedRowsSurviveKillNine) {
  TempDir dir;
  std::string data = (dir.path() / "data").string();
  {
    EngineOptions o;
    o.data_dir = data;
    auto e = Engine::Open(o);
    auto c = e->Connect({});
    ASSERT_FALSE(c->ExecuteBatch("CREATE DATABASE shop").HasError());
  }
  int report[2], hold[2];
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(hold), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    close(hold[1]);
    EngineOptions o;
    o.data_dir = data;
    auto e = Engine::Open(o);
    ConnectOptions co;
    co.database = "shop";
    auto c = e->Connect(co);
    c->ExecuteBatch("CREATE TABLE t (id int)");
    for (int i = 1; i <= 200; ++i) {
      c->ExecuteBatch("BEGIN TRAN INSERT INTO t VALUES (" + std::to_string(i) + ") COMMIT");
      if (write(report[1], &i, sizeof i) != sizeof i) _exit(1);
    }
    c->ExecuteBatch("BEGIN TRAN INSERT INTO t VALUES (-1) INSERT INTO t VALUES (-2)");
    int done = -1;
    if (write(report[1], &done, sizeof done) != sizeof done) _exit(1);
    char b;
    while (read(hold[0], &b, 1) > 0) {
    }
    _exit(0);
  }
  close(report[1]);
  close(hold[0]);
  int last = 0, v = 0;
  while (read(report[0], &v, sizeof v) == sizeof v && v != -1) last = v;
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(report[0]);
  close(hold[1]);
  ASSERT_EQ(last, 200);
  EngineOptions o;
  o.data_dir = data;
  auto e = Engine::Open(o);
  ConnectOptions co;
  co.database = "shop";
  auto c = e->Connect(co);
  BatchResult r = c->ExecuteBatch("SELECT COUNT(*), MIN(id), COUNT(DISTINCT id) FROM t");
  ASSERT_FALSE(r.HasError());
  EXPECT_EQ(Str(r.result_sets[0].rows[0][0]), "200");
  EXPECT_EQ(Str(r.result_sets[0].rows[0][1]), "1");
  EXPECT_EQ(Str(r.result_sets[0].rows[0][2]), "200");
}

}  // namespace
}  // namespace tillbase::engine

// Sessions run on threads of their own, each with its own Connection; they
// share the engine of one data directory.
#include <gtest/gtest.h>

#include <thread>

#include "db/query.h"
#include "db/stored_proc.h"
#include "db_fixture.h"

namespace tillbase::db {
namespace {

TEST(DbConcurrency, SessionsShareOneEngineSafely) {
  testing::TempDir dir;
  {
    Connection setup(testing::EmbeddedSettings(dir.path()));
    testing::SetSqlLogin(setup, "master");
    setup.Open();
    setup.Execute("CREATE TABLE hits (session int, n int)");
    setup.Execute(
        "CREATE PROCEDURE p_hit @s int, @n int, @twice int OUTPUT AS BEGIN "
        "INSERT INTO hits VALUES (@s, @n) SET @twice = @n * 2 RETURN @n END");
  }
  constexpr int kSessions = 4;
  constexpr int kCalls = 50;
  std::vector<std::thread> threads;
  std::vector<int> failures(kSessions, 0);
  for (int s = 0; s < kSessions; ++s) {
    threads.emplace_back([&, s] {
      // A spelling of its own for the same directory.
      Connection c(testing::EmbeddedSettings(dir.path() + std::string(s % 2 ? "/" : "")));
      testing::SetSqlLogin(c, "master");
      c.SetCommandTimeout(0);
      c.Open();
      StoredProc sp(&c);
      sp.SetCommandTimeout(0);
      sp.SetProcedureName("p_hit");
      sp.RefreshParameters();
      for (int n = 0; n < kCalls; ++n) {
        sp.ParamByName("@s").value = Variant(s);
        sp.ParamByName("@n").value = Variant(n);
        sp.ExecProc();
        if (sp.Params().Items(0).value != Variant(n) ||
            sp.ParamByName("@twice").value != Variant(2 * n)) {
          ++failures[static_cast<size_t>(s)];
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(kSessions, 0));

  Connection check(testing::EmbeddedSettings(dir.path()));
  testing::SetSqlLogin(check, "master");
  check.Open();
  Query q(&check);
  q.SetSql("SELECT COUNT(*) FROM hits");
  q.Open();
  EXPECT_EQ(q.Fields(0).AsInteger(), kSessions * kCalls);
}

}  // namespace
}  // namespace tillbase::db

// The engine's cost over SQLite itself: the same work through cached T-SQL
// text and through raw SQLite prepared statements, in one run, printed as
// ratios (engine time / raw time). Targets: at most 1.5 for the insert and
// the select.
//
//   bench_engine [rows]      (default 10000)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
using tillbase::engine::BatchResult;
using tillbase::engine::Column;
using tillbase::engine::Connection;
using tillbase::engine::ResultSink;
using tillbase::engine::Value;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Counts rows and touches every value, as a caller reading them would.
class CountingSink : public ResultSink {
 public:
  void BeginResultSet(const std::vector<Column>&) override {}
  bool Row(std::vector<Value>&& row) override {
    ++rows;
    bytes += row.size();
    return true;
  }
  void OnMessage(const tillbase::engine::Message& m) override {
    if (m.IsError()) throw std::runtime_error("engine error: " + m.text);
  }
  int64_t rows = 0;
  int64_t bytes = 0;
};

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

void Exec(sqlite3* db, const char* sql) {
  Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

void Run(Connection& c, const std::string& sql) {
  CountingSink sink;
  if (!c.ExecuteBatch(sql, sink)) throw std::runtime_error("batch failed: " + sql);
}

struct Figures {
  double engine = 0;
  double raw = 0;
};

void Report(const char* name, const Figures& f, int n, double target) {
  double ratio = f.engine / f.raw;
  std::printf("%-28s engine %8.2f ms  raw sqlite %8.2f ms  ratio %5.2f", name, f.engine * 1e3,
              f.raw * 1e3, ratio);
  if (target > 0) std::printf("  (target <= %.1f%s)", target, ratio <= target ? "" : ", MISSED");
  std::printf("  [%d per run]\n", n);
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (n <= 0) n = 10000;
  char tmpl[] = "/tmp/tillbase-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 2;
  fs::path dir = tmpl;
  int status = 0;
  try {
    tillbase::engine::EngineOptions options;
    options.data_dir = (dir / "engine").string();
    options.server_name = "bench";
    auto engine = tillbase::engine::Engine::Open(options);
    tillbase::engine::ConnectOptions co;
    std::unique_ptr<Connection> conn = engine->Connect(co);
    Run(*conn,
        "SET NOCOUNT ON CREATE TABLE bench_rows (id int NOT NULL, name varchar(40) NULL, qty int "
        "NULL)");

    sqlite3* raw = nullptr;
    // Opened as the engine opens its databases: without SQLite's connection
    // mutex (a connection is used by one thread at a time), so that the raw
    // side does not pay for locking the engine side is spared.
    Check(
        sqlite3_open_v2((dir / "raw.db").string().c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr),
        raw, "open");
    Exec(raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    Exec(raw, "CREATE TABLE bench_rows (id INTEGER NOT NULL, name TEXT, qty INTEGER)");

    // Each figure is the best of a few rounds, so that page-cache warm-up
    // and WAL checkpoints weigh on neither side.
    const int kRounds = 5;

    // 1. Single-row INSERTs in one transaction.
    Figures insert{1e9, 1e9};
    {
      const std::string text =
          "INSERT INTO bench_rows (id, name, qty) VALUES (42, 'a goods name', 7)";
      for (int round = 0; round < kRounds; ++round) {
        Run(*conn, "SET NOCOUNT ON TRUNCATE TABLE bench_rows BEGIN TRANSACTION");
        auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) Run(*conn, text);
        Run(*conn, "COMMIT TRANSACTION");
        insert.engine = std::min(insert.engine, Seconds(t0));

        sqlite3_stmt* stmt = nullptr;
        Exec(raw, "DELETE FROM bench_rows; BEGIN");
        auto t1 = Clock::now();
        Check(sqlite3_prepare_v2(raw, text.c_str(), -1, &stmt, nullptr), raw, "prepare insert");
        for (int i = 0; i < n; ++i) {
          Check(sqlite3_step(stmt), raw, "insert");
          sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
        Exec(raw, "COMMIT");
        insert.raw = std::min(insert.raw, Seconds(t1));
      }
    }

    // 2. One SELECT of all rows.
    Figures select{1e9, 1e9};
    {
      for (int round = 0; round < kRounds + 1; ++round) {
        CountingSink sink;
        auto t0 = Clock::now();
        conn->ExecuteBatch("SELECT id, name, qty FROM bench_rows", sink);
        double engine_time = Seconds(t0);

        int64_t raw_rows = 0;
        auto t1 = Clock::now();
        sqlite3_stmt* stmt = nullptr;
        Check(sqlite3_prepare_v2(raw, "SELECT id, name, qty FROM bench_rows", -1, &stmt, nullptr),
              raw, "prepare select");
        while (sqlite3_step(stmt) == SQLITE_ROW) {
          std::vector<Value> row;
          row.reserve(3);
          row.emplace_back(static_cast<int64_t>(sqlite3_column_int64(stmt, 0)));
          row.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                                       sqlite3_column_bytes(stmt, 1)));
          row.emplace_back(static_cast<int64_t>(sqlite3_column_int64(stmt, 2)));
          ++raw_rows;
        }
        sqlite3_finalize(stmt);
        double raw_time = Seconds(t1);
        if (sink.rows != raw_rows || raw_rows != n) {
          throw std::runtime_error("the two selects read different row counts");
        }
        if (round == 0) continue;  // warm-up
        select.engine = std::min(select.engine, engine_time);
        select.raw = std::min(select.raw, raw_time);
      }
    }

    // 3. A procedure call with five parameters, one of them OUTPUT, against
    //    the same computation as one raw prepared statement.
    Figures call;
    {
      Run(*conn,
          "CREATE PROCEDURE bench_proc @a int, @b varchar(20), @c decimal(10,2), @d datetime, "
          "@e int OUTPUT AS SET @e = @a + LEN(@b)");
      std::vector<tillbase::engine::ProcArgument> args(5);
      args[0].value = int64_t{1};
      args[1].value = std::string("abc");
      args[2].value = tillbase::engine::Decimal{1250, 2};
      args[3].value = tillbase::engine::DateTime{0};
      args[4].value = int64_t{0};
      args[4].output = true;
      int calls = n / 10 > 0 ? n / 10 : 1;
      auto t0 = Clock::now();
      for (int i = 0; i < calls; ++i) {
        CountingSink sink;
        tillbase::engine::CallResult r = conn->CallProcedure("bench_proc", args, sink);
        if (!r.return_status || r.outputs.size() != 5) throw std::runtime_error("call failed");
      }
      call.engine = Seconds(t0);

      sqlite3_stmt* stmt = nullptr;
      auto t1 = Clock::now();
      Check(sqlite3_prepare_v2(raw, "SELECT ?1 + length(?2)", -1, &stmt, nullptr), raw,
            "prepare call");
      for (int i = 0; i < calls; ++i) {
        sqlite3_bind_int64(stmt, 1, 1);
        sqlite3_bind_text(stmt, 2, "abc", 3, SQLITE_STATIC);
        Check(sqlite3_step(stmt), raw, "call");
        volatile int64_t out = sqlite3_column_int64(stmt, 0);
        (void)out;
        sqlite3_reset(stmt);
      }
      sqlite3_finalize(stmt);
      call.raw = Seconds(t1);
      Report("insert (one transaction)", insert, n, 1.5);
      Report("select all rows", select, n, 1.5);
      Report("procedure, 5 params + OUTPUT", call, calls, 0);
    }
    sqlite3_close(raw);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_engine: %s\n", e.what());
    status = 1;
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return status;
}

// Records through a provider over loopback against a raw SQLite scan, in one
// run:
//   - provider: the real RPC server runs in this process on 127.0.0.1; the
//     C++ client creates a session object, ConnectDB binds it to an embedded
//     database holding `rows` rows of 10 columns, OpenSQL sets
//     "select * from B" and AS_GetRecords("pv_qry_Open", 1000) is called
//     until fewer than 1000 records come back. Each answer is read by the
//     client as a client reads it (JSON into variants, the packet into its
//     bytes);
//   - baseline: the same rows scanned from SQLite directly and written as
//     JSON arrays with Boost.JSON, 1000 rows per document.
// The two take turns; each pass is timed on its own and the ratio printed is
// the median of the passes' ratios (a busy machine bends single passes, far
// less the median). Prints both rates in rows per second and the ratio
// (target: at least 0.3), then the speeds of the packet's binary form and of
// its JSON form in MB/s.
//
//   bench_providers [rows] [passes]    (defaults 100000, 5)
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "db/connection.h"
#include "rpc/client.h"
#include "rpc/http_server.h"
#include "rpc/variant_json.h"
#include "server/session/session_object.h"
#include "server/session/session_server.h"
#include "shared/data_packet.h"

namespace {

using namespace tillbase;
using BenchClock = std::chrono::steady_clock;
constexpr int kPage = 1000;

double Seconds(BenchClock::time_point since) {
  return std::chrono::duration<double>(BenchClock::now() - since).count();
}

std::string RowValues(int i) {
  char buf[256];
  std::snprintf(
      buf, sizeof buf,
      "(%d, N'name %d', %d, %d.25, %d.1234, '2026-12-%02d 10:%02d:00', N'text of row %d', "
      "%lld, %d, 0x%08X)",
      i, i, i % 1000, i, i, 1 + i % 28, i % 60, i, 1LL * i * 100000, i % 2, i);
  return buf;
}

constexpr const char* kColumns =
    "(id int PRIMARY KEY, name nvarchar(20), qty int, price float, amount decimal(18,4), "
    "made datetime, note nvarchar(40), big bigint, flag bit, raw varbinary(8))";

// The same rows in the embedded database of `dir` and in the SQLite
// database `raw`.
void Fill(const std::string& dir, sqlite3* raw, int rows) {
  db::DriverSettings settings;
  settings.data_dir = dir;
  db::Connection connection(settings);
  connection.SetProperty("Initial Catalog", "master");
  connection.SetProperty("User Id", "sa");
  connection.SetProperty("PASSWORD", "bench");
  connection.SetCommandTimeout(0);
  connection.Open();
  connection.Execute(std::string("CREATE TABLE B ") + kColumns);
  sqlite3_exec(raw, (std::string("CREATE TABLE B ") + kColumns).c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
  connection.BeginTrans();
  for (int done = 0; done < rows; done += 100) {
    std::string sql = "INSERT INTO B VALUES ";
    for (int i = done; i < done + 100 && i < rows; ++i) sql += (i > done ? "," : "") + RowValues(i);
    connection.Execute(sql);
    // SQLite takes the same text but for the N prefix and the hex literal form.
    std::string lite = sql;
    for (size_t at = 0; (at = lite.find("N'", at)) != std::string::npos;) lite.erase(at, 1);
    for (size_t at = 0; (at = lite.find(", 0x", at)) != std::string::npos;) {
      size_t end = lite.find(')', at);
      lite.replace(at, end - at, ", x'" + lite.substr(at + 4, end - at - 4) + "'");
      at = end;
    }
    sqlite3_exec(raw, lite.c_str(), nullptr, nullptr, nullptr);
  }
  connection.CommitTrans();
  sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  connection.Close();
}

int32_t OutInt(const rpc::InvokeResult& result, const std::string& name) {
  for (const auto& [n, v] : result.out_values) {
    if (n == name) return v.ToInt32();
  }
  return -1;
}

// The raw scan: every row as a JSON array, 1000 rows to a serialized page.
long SqliteRun(sqlite3* raw) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(raw, "SELECT * FROM B", -1, &stmt, nullptr);
  long total = 0;
  size_t bytes = 0;
  boost::json::array page;
  auto flush = [&] {
    bytes += boost::json::serialize(page).size();
    page.clear();
  };
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    boost::json::array row;
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
      switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER:
          row.push_back(sqlite3_column_int64(stmt, c));
          break;
        case SQLITE_FLOAT:
          row.push_back(sqlite3_column_double(stmt, c));
          break;
        case SQLITE_NULL:
          row.push_back(nullptr);
          break;
        default:
          row.push_back(
              boost::json::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt, c))));
      }
    }
    page.push_back(std::move(row));
    if (++total % kPage == 0) flush();
  }
  flush();
  sqlite3_finalize(stmt);
  return bytes > 0 ? total : 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int passes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::string dir =
      (std::filesystem::temp_directory_path() / "tillbase-bench-providers-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  sqlite3* raw = nullptr;
  sqlite3_open(":memory:", &raw);
  Fill(dir, raw, rows);

  session::ConnectSettings settings;
  settings.server_name = "(local)";
  settings.login_name = "sa";
  settings.password = "bench";
  settings.windows_security = "False";
  settings.driver.data_dir = dir;
  session::SessionServer::Options server_options;
  server_options.home = dir;
  server_options.companion.program = "no-companion-in-this-benchmark";
  server_options.load_settings = [settings] { return settings; };
  server_options.host_addresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
  int status = 0;
  {
    session::SessionServer sessions(server_options);
    session::SessionFactory factory(sessions);
    rpc::HttpServer http(rpc::ServerOptions{}, factory);
    http.Start();
    rpc::ClientOptions client_options;
    client_options.port = http.port();
    rpc::Client client(client_options);
    rpc::RemoteObject object(client);
    object.Invoke("ConnectDB", {Variant("BENCH"), Variant("127.0.0.1")});

    std::vector<Variant> packets;  // of the last pass, as the client received them
    auto provider_run = [&] {
      packets.clear();
      object.Invoke("OpenSQL", {Variant("select * from B")});
      long total = 0;
      int32_t got = 0;
      do {
        rpc::InvokeResult r = object.Invoke(
            "AS_GetRecords", {Variant("pv_qry_Open"), Variant(int32_t{kPage}), Variant(int32_t{0}),
                              Variant(""), Variant(), Variant()});
        got = OutInt(r, "RecsOut");
        total += got;
        packets.push_back(std::move(r.retval));
      } while (got == kPage);
      return total;
    };

    // Warm both once; then take turns, timing each pass.
    provider_run();
    SqliteRun(raw);
    double provider_s = 0, sqlite_s = 0;
    long provider_rows = 0, sqlite_rows = 0;
    std::vector<double> ratios;
    for (int pass = 0; pass < passes; ++pass) {
      BenchClock::time_point t = BenchClock::now();
      long p_rows = provider_run();
      double p_s = Seconds(t);
      t = BenchClock::now();
      long s_rows = SqliteRun(raw);
      double s_s = Seconds(t);
      provider_rows += p_rows;
      provider_s += p_s;
      sqlite_rows += s_rows;
      sqlite_s += s_s;
      ratios.push_back((p_rows / p_s) / (s_rows / s_s));
    }
    if (provider_rows != sqlite_rows || provider_rows != long(rows) * passes) {
      std::fprintf(stderr, "row counts differ: provider %ld, sqlite %ld\n", provider_rows,
                   sqlite_rows);
      return 1;
    }

    // What came over the wire is the table: every id once, in order.
    long next_id = 0;
    for (const Variant& p : packets) {
      for (const PacketRow& row : DataPacket::FromVariant(p).rows) {
        if (row.values.size() != 10 || row.values[0].ToInt32() != next_id++) {
          std::fprintf(stderr, "row %ld differs from the table\n", next_id - 1);
          return 1;
        }
      }
    }

    // The size of one answer, as the client reads it.
    object.Invoke("OpenSQL", {Variant("select * from B")});
    std::string answer;
    client.Request("POST", "/v1/objects/" + object.id(),
                   R"({"method":"AS_GetRecords","params":["pv_qry_Open",1000,0,"",null,null]})",
                   answer);

    std::printf("provider over loopback, packets of %d: %.0f rows/s (%zu bytes per answer)\n",
                kPage, provider_rows / provider_s, answer.size());
    std::printf("raw SQLite scan as JSON:             %.0f rows/s\n", sqlite_rows / sqlite_s);
    std::printf("ratio provider/raw: %.2f, median of %d passes (target >= 0.30)\n", Median(ratios),
                passes);

    // The packet's binary form: each packet decoded and dropped, then one
    // decoded copy of each encoded again.
    size_t bytes = 0;
    for (const Variant& p : packets) bytes += p.Bytes().size();
    size_t rows_seen = 0;
    BenchClock::time_point t = BenchClock::now();
    for (const Variant& p : packets) rows_seen += DataPacket::FromVariant(p).rows.size();
    double decode_s = Seconds(t);
    std::vector<DataPacket> decoded;
    for (const Variant& p : packets) decoded.push_back(DataPacket::FromVariant(p));
    t = BenchClock::now();
    size_t check = 0;
    for (const DataPacket& p : decoded) check += p.Encode().size();
    double encode_s = Seconds(t);
    if (check != bytes || rows_seen != static_cast<size_t>(rows)) return 1;
    std::printf("packet encode: %.1f MB/s, decode: %.1f MB/s (%zu bytes)\n", bytes / encode_s / 1e6,
                bytes / decode_s / 1e6, bytes);

    // The packet's JSON form, in MB of JSON text.
    std::vector<std::string> texts;
    t = BenchClock::now();
    for (const Variant& p : packets) texts.push_back(rpc::EncodeVariant(p));
    double write_s = Seconds(t);
    size_t json_bytes = 0;
    for (const std::string& text : texts) json_bytes += text.size();
    t = BenchClock::now();
    for (const std::string& text : texts) {
      if (rpc::DecodeVariant(text).Bytes().empty()) status = 1;
    }
    double read_s = Seconds(t);
    std::printf("packet JSON write: %.1f MB/s, read: %.1f MB/s (%zu bytes)\n",
                json_bytes / write_s / 1e6, json_bytes / read_s / 1e6, json_bytes);
    object.Release();
    http.Stop();
  }
  sqlite3_close(raw);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}

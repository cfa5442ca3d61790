// Records through a provider against a raw SQLite scan, in one run:
//   - provider: rows rows of 10 columns fetched with AS_GetRecords' provider
//     operation in packets of 1000 and written as the wire's JSON;
//   - baseline: the same rows scanned from SQLite directly and written as
//     JSON arrays with Boost.JSON.
// Prints both rates in rows per second and their ratio (target: at least
// 0.3), then packet encode and decode speeds in MB/s.
//
//   bench_providers [rows]    (default 100000)
#include <sqlite3.h>
#include <stdlib.h>

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/connection.h"
#include "db/query.h"
#include "rpc/variant_json.h"
#include "server/session/packet_builder.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
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

}  // namespace

int main(int argc, char** argv) {
  using namespace tillbase;
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  constexpr int kPage = 1000;
  std::string dir =
      (std::filesystem::temp_directory_path() / "tillbase-bench-providers-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;

  db::DriverSettings settings;
  settings.data_dir = dir;
  db::Connection connection(settings);
  connection.SetProperty("Initial Catalog", "master");
  connection.SetProperty("User Id", "sa");
  connection.SetProperty("PASSWORD", "bench");
  connection.SetCommandTimeout(0);
  connection.Open();
  connection.Execute(std::string("CREATE TABLE B ") + kColumns);

  sqlite3* raw = nullptr;
  sqlite3_open(":memory:", &raw);
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

  const session::ProviderInfo& provider = session::ProviderByName("pv_qry_Open");
  db::Query query(&connection);
  query.SetCommandTimeout(0);
  std::vector<Variant> packets;
  size_t json_bytes = 0;

  auto provider_run = [&] {
    packets.clear();
    json_bytes = 0;
    query.SetSql("select * from B");
    int32_t got = 0;
    long total = 0;
    do {
      Variant packet = session::GetRecords(provider, &query, kPage, 0, "", Variant(), got);
      json_bytes += rpc::EncodeVariant(packet).size();
      total += got;
      packets.push_back(std::move(packet));
    } while (got == kPage);
    return total;
  };

  auto sqlite_run = [&] {
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
  };

  // Warm both once; then measure each twice, taking turns.
  provider_run();
  sqlite_run();
  double provider_s = 0, sqlite_s = 0;
  long provider_rows = 0, sqlite_rows = 0;
  for (int round = 0; round < 2; ++round) {
    Clock::time_point t = Clock::now();
    provider_rows += provider_run();
    provider_s += Seconds(t);
    t = Clock::now();
    sqlite_rows += sqlite_run();
    sqlite_s += Seconds(t);
  }
  if (provider_rows != sqlite_rows) {
    std::fprintf(stderr, "row counts differ: provider %ld, sqlite %ld\n", provider_rows,
                 sqlite_rows);
    return 1;
  }
  double provider_rate = provider_rows / provider_s;
  double sqlite_rate = sqlite_rows / sqlite_s;
  std::printf("provider packets of %d as JSON: %.0f rows/s (%zu JSON bytes per pass)\n", kPage,
              provider_rate, json_bytes);
  std::printf("raw SQLite scan as JSON:        %.0f rows/s\n", sqlite_rate);
  std::printf("ratio provider/raw: %.2f (target >= 0.30)\n", provider_rate / sqlite_rate);

  // Packet encoding alone, over the packets of the last pass: each packet
  // decoded and dropped, then one decoded copy of each encoded again.
  size_t bytes = 0;
  for (const Variant& p : packets) bytes += p.Bytes().size();
  size_t rows_seen = 0;
  Clock::time_point t = Clock::now();
  for (const Variant& p : packets) rows_seen += DataPacket::FromVariant(p).rows.size();
  double decode_s = Seconds(t);
  std::vector<DataPacket> decoded;
  for (const Variant& p : packets) decoded.push_back(DataPacket::FromVariant(p));
  t = Clock::now();
  size_t check = 0;
  for (const DataPacket& p : decoded) check += p.Encode().size();
  double encode_s = Seconds(t);
  if (check != bytes || rows_seen != static_cast<size_t>(rows)) return 1;
  std::printf("packet encode: %.1f MB/s, decode: %.1f MB/s (%zu bytes)\n", bytes / encode_s / 1e6,
              bytes / decode_s / 1e6, bytes);
  sqlite3_close(raw);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}

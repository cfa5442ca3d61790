// The engine's server level: BACKUP and RESTORE of a database of about
// 100 MB against a plain copy of a file of the same size, and 16 threads
// inserting into one database against one thread, all in the same run.
// Usage: bench_engine_server [megabytes]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace fs = std::filesystem;
using tillbase::engine::BatchResult;
using tillbase::engine::Connection;
using tillbase::engine::ConnectOptions;
using tillbase::engine::Engine;
using tillbase::engine::EngineOptions;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Check(const BatchResult& r, const char* what) {
  if (const auto* e = r.FirstError()) {
    std::fprintf(stderr, "%s failed: %d %s\n", what, e->number, e->text.c_str());
    std::exit(1);
  }
}

template <typename F>
double Best(int rounds, F f) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) best = std::min(best, f());
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  int megabytes = argc > 1 ? std::atoi(argv[1]) : 100;
  std::string tmpl = (fs::temp_directory_path() / "tillbase-server-bench-XXXXXX").string();
  fs::path dir = mkdtemp(tmpl.data());
  EngineOptions o;
  o.data_dir = (dir / "data").string();
  auto engine = Engine::Open(o);
  ConnectOptions master;
  auto sa = engine->Connect(master);
  Check(sa->ExecuteBatch("CREATE DATABASE shop"), "CREATE DATABASE");
  ConnectOptions shop_options;
  shop_options.database = "shop";
  {
    auto shop = engine->Connect(shop_options);
    Check(shop->ExecuteBatch("CREATE TABLE big (id int IDENTITY, pad varchar(1000))"), "CREATE");
    int rows = megabytes * 1000;  // about 1 KB a row with its overhead
    Check(shop->ExecuteBatch("SET NOCOUNT ON BEGIN TRAN DECLARE @i int SET @i = 0 WHILE @i < " +
                             std::to_string(rows) +
                             " BEGIN INSERT INTO big (pad) VALUES (REPLICATE('x', 1000)) SET @i "
                             "= @i + 1 END COMMIT"),
          "fill");
  }
  std::string db_file = (dir / "data" / "shop.sqlite").string();
  double mb = static_cast<double>(fs::file_size(db_file)) / 1048576.0;
  std::string bak = (dir / "shop.bak").string();

  // Baseline: a plain copy of the same file.
  double copy = Best(3, [&] {
    auto t = std::chrono::steady_clock::now();
    std::string to = (dir / "copy.bin").string();
    fs::copy_file(db_file, to, fs::copy_options::overwrite_existing);
    FILE* f = std::fopen(to.c_str(), "rb");  // on disk, as a backup is
    if (f) {
      fsync(fileno(f));
      std::fclose(f);
    }
    return Seconds(t);
  });
  double backup = Best(3, [&] {
    auto t = std::chrono::steady_clock::now();
    Check(sa->ExecuteBatch("BACKUP DATABASE shop TO DISK = '" + bak + "' WITH FORMAT"), "BACKUP");
    return Seconds(t);
  });
  double restore = Best(3, [&] {
    auto t = std::chrono::steady_clock::now();
    Check(sa->ExecuteBatch("RESTORE DATABASE shop FROM DISK = '" + bak + "' WITH REPLACE"),
          "RESTORE");
    return Seconds(t);
  });
  std::printf("database of %.1f MB\n", mb);
  std::printf("file copy: %.1f MB/s\n", mb / copy);
  std::printf("backup:    %.1f MB/s (%.2f of file copy)\n", mb / backup, copy / backup);
  std::printf("restore:   %.1f MB/s (%.2f of file copy)\n", mb / restore, copy / restore);

  // Writers: one thread against sixteen, the same number of rows.
  {
    auto shop = engine->Connect(shop_options);
    Check(shop->ExecuteBatch("CREATE TABLE w (writer int, n int)"), "CREATE w");
  }
  constexpr int kRows = 4000;
  auto insert = [&](int threads) {
    std::vector<std::thread> pool;
    auto t = std::chrono::steady_clock::now();
    for (int k = 0; k < threads; ++k) {
      pool.emplace_back([&, k] {
        auto c = engine->Connect(shop_options);
        for (int i = 0; i < kRows / threads; ++i) {
          Check(c->ExecuteBatch("INSERT INTO w VALUES (" + std::to_string(k) + ", " +
                                std::to_string(i) + ")"),
                "INSERT");
        }
      });
    }
    for (auto& th : pool) th.join();
    return Seconds(t);
  };
  double one = Best(3, [&] { return insert(1); });
  double sixteen = Best(3, [&] { return insert(16); });
  std::printf("1 writer:   %.0f rows/s\n", kRows / one);
  std::printf("16 writers: %.0f rows/s (%.2f of one writer)\n", kRows / sixteen, one / sixteen);
  sa.reset();
  engine.reset();
  fs::remove_all(dir);
  return 0;
}

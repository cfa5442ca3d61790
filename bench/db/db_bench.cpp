// A small procedure called through StoredProc against the same procedure
// called on the engine directly, in one run; prints both rates and their
// ratio (target: StoredProc at most 1.2 times the direct cost).
//
//   bench_db [calls]    (default 100000)
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/embedded/embedded_driver.h"
#include "db/stored_proc.h"
#include "engine/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tillbase;
  const int calls = argc > 1 ? std::atoi(argv[1]) : 100000;
  std::string dir = (std::filesystem::temp_directory_path() / "tillbase-bench-db-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;

  db::DriverSettings settings;
  settings.data_dir = dir;
  db::Connection connection(settings);
  connection.SetProperty("Initial Catalog", "master");
  connection.SetProperty("User Id", "sa");
  connection.SetProperty("PASSWORD", "bench");
  connection.Open();
  connection.Execute(
      "CREATE PROCEDURE p_bench @a int, @b int OUTPUT AS BEGIN SET @b = @a + 1 RETURN @a END");

  // The engine directly, through its own connection to the same directory.
  std::shared_ptr<engine::Engine> eng = db::embedded::SharedEngine(dir, "");
  engine::ConnectOptions options;
  options.login = "sa";
  options.password = "bench";
  std::unique_ptr<engine::Connection> direct = eng->Connect(options);

  db::StoredProc sp(&connection);
  sp.SetCommandTimeout(0);
  sp.SetProcedureName("p_bench;1");
  sp.RefreshParameters();

  // Warm both paths (statement caches, pages).
  for (int i = 0; i < 1000; ++i) {
    sp.ParamByName("@a").value = Variant(i);
    sp.ExecProc();
  }
  std::vector<engine::ProcArgument> args(2);
  args[0].name = "@a";
  args[1].name = "@b";
  args[1].output = true;
  engine::CollectingSink warm;
  for (int i = 0; i < 1000; ++i) {
    args[0].value = int64_t{i};
    direct->CallProcedure("p_bench;1", args, warm);
  }

  // The two paths take turns in small blocks and the figure is the median
  // of the blocks' ratios, so that the load of a shared machine, which
  // changes from one moment to the next, does not bend it.
  constexpr int kBlock = 200;
  int64_t check_direct = 0;
  int64_t check_sp = 0;
  double direct_s = 0;
  double sp_s = 0;
  std::vector<double> ratios;
  for (int done = 0; done < calls; done += kBlock) {
    const int n = std::min(kBlock, calls - done);
    Clock::time_point start = Clock::now();
    for (int i = done; i < done + n; ++i) {
      args[0].value = int64_t{i};
      engine::CollectingSink sink;
      engine::CallResult r = direct->CallProcedure("p_bench;1", args, sink);
      check_direct += std::get<int64_t>(r.outputs[1]);
    }
    const double block_direct = Seconds(start);
    start = Clock::now();
    for (int i = done; i < done + n; ++i) {
      sp.ParamByName("@a").value = Variant(i);
      sp.ExecProc();
      check_sp += sp.ParamByName("@b").value.ToInt64();
    }
    const double block_sp = Seconds(start);
    direct_s += block_direct;
    sp_s += block_sp;
    ratios.push_back(block_sp / block_direct);
  }
  std::sort(ratios.begin(), ratios.end());
  const double median = ratios[ratios.size() / 2];

  std::printf("calls: %d\n", calls);
  std::printf("engine directly: %.0f calls/s\n", calls / direct_s);
  std::printf("StoredProc:      %.0f calls/s\n", calls / sp_s);
  std::printf("ratio StoredProc/direct: %.3f (target <= 1.2; median of %zu blocks of %d)\n", median,
              ratios.size(), kBlock);
  std::printf("ratio of the totals:     %.3f\n", sp_s / direct_s);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return check_direct == check_sp ? 0 : 2;
}

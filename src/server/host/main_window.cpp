#include "server/host/main_window.h"

#include <charconv>

#include "server/session/host_address.h"

namespace tillbase::host {
namespace {

// A cell that is not a whole number counts as 0.
int CellNumber(const std::string& text) {
  int value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return 0;
  return value;
}

}  // namespace

MainWindow::MainWindow(const Clock& clock, Ask ask)
    : clock_(clock), ask_(std::move(ask)), rows_(kGridRows) {
  rows_[0] = {"机器名", "IP地址", "登录时间", ""};
}

void MainWindow::Create(const std::filesystem::path& home) {
  connection_count_ = 0;
  exit_requested_ = false;
  for (const char* dir : {"BackUp", "Data"}) {
    std::error_code ec;
    // Start-up goes on without them; the features that need them report it.
    std::filesystem::create_directories(home / dir, ec);
  }
  version_info_ = kVersionInfo;
  auto addresses = session::HostIpv4Addresses();
  own_address_ = addresses.empty() ? "" : addresses.front();
}

std::string MainWindow::Now() const { return FormatDateTime(clock_.Now()); }

MainWindow::Row MainWindow::RowAt(int r) const {
  if (r < 0 || r >= RowCount()) return Row{};
  return rows_[static_cast<size_t>(r)];
}

void MainWindow::SetCell(int r, int c, std::string value) {
  if (r < 0 || r >= RowCount()) return;
  rows_[static_cast<size_t>(r)][static_cast<size_t>(c)] = std::move(value);
}

std::vector<MainWindow::Row> MainWindow::Connections() const {
  std::vector<Row> out;
  for (int r = 1; r < RowCount(); ++r) {
    const Row& row = rows_[static_cast<size_t>(r)];
    if (row[0].empty() && row[1].empty()) break;
    out.push_back(row);
  }
  return out;
}

void MainWindow::AddConnection(const std::string& name, const std::string& address) {
  ++connection_count_;
  int r = 1;
  for (; r < RowCount(); ++r) {
    const Row& row = rows_[static_cast<size_t>(r)];
    if (row[0].empty() || row[1].empty()) break;
    if (row[0] == name || row[1] == address) {
      SetCell(r, 2, Now());
      SetCell(r, 3, std::to_string(CellNumber(row[3]) + 1));
      return;
    }
  }
  // Every row taken: the last one is overwritten.
  if (r >= RowCount()) r = RowCount() - 1;
  SetCell(r, 0, name);
  SetCell(r, 1, address);
  SetCell(r, 2, Now());
  SetCell(r, 3, "1");
}

void MainWindow::RemoveConnection(const std::string& name, const std::string& address) {
  --connection_count_;
  const int rows_at_start = RowCount();
  for (int r = 1; r < rows_at_start; ++r) {
    Row row = RowAt(r);
    if (row[0] == name && row[1] == address) {
      int left = CellNumber(row[3]) - 1;
      SetCell(r, 3, std::to_string(left));
      if (left <= 0 && r < kGridRows) {
        rows_.resize(kGridRows);
        rows_.erase(rows_.begin() + r);  // the rows below move up; 99 rows remain
      }
    }
    Row now = RowAt(r);
    if (now[0].empty() && now[1].empty()) break;
  }
}

bool MainWindow::ConfirmExit() {
  if (connection_count_ == 0) return true;
  return ask_ && ask_(kConfirmExitText, kApplicationTitle) == Answer::kYes;
}

bool MainWindow::RequestExit() {
  exit_requested_ = true;
  return CloseQuery();
}

bool MainWindow::CloseQuery() {
  if (!exit_requested_ || !ConfirmExit()) {
    Hide();
    return false;
  }
  return true;
}

bool MainWindow::ConfirmCloseWithLiveObjects(std::size_t live_objects) {
  if (live_objects == 0) return true;
  return ask_ && ask_(kLiveObjectsText, kLiveObjectsCaption) == Answer::kYes;
}

}  // namespace tillbase::host

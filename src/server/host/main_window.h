// TfrmMain without its pixels: the connection list, the counters and the
// exit rules that the console page shows and drives. Lives on the main loop;
// only the user count is touched from other threads.
#pragma once

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "shared/ole_date.h"

namespace tillbase::host {

inline constexpr const char* kApplicationTitle = "KeppaPOS服务器";
inline constexpr const char* kVersionInfo = "5.5";
inline constexpr const char* kConfirmExitText =
    "中间件服务器仍然被其它用户连接使用，是否强制推出？\r\n(如果强制退出，则其它用户则不能使用！)";

// Asked after the window has closed while session objects still exist.
inline constexpr const char* kLiveObjectsCaption = "COM Server Warning";
inline constexpr const char* kLiveObjectsText =
    "There are still active COM objects in this application.  One or more clients may have "
    "references to these objects, so manually closing "
    "this application may cause those client application(s) to fail.\r\n\r\n"
    "Are you sure you want to close this application?";

enum class Answer { kYes, kNo, kCancel };

class MainWindow {
 public:
  static constexpr int kGridRows = 100;
  static constexpr int kGridColumns = 4;  // name, address, login time, open connections
  using Row = std::array<std::string, kGridColumns>;
  // Asks the user a question (text, caption); the console answers.
  using Ask = std::function<Answer(const std::string& text, const std::string& caption)>;

  MainWindow(const Clock& clock, Ask ask);

  // FormCreate: the BackUp and Data directories under the home (a failure
  // is not reported), the version text and the machine's own address.
  void Create(const std::filesystem::path& home);

  // The handlers of WM_CLIENTCONNECT and WM_CLIENTDISCONNECT.
  void AddConnection(const std::string& name, const std::string& address);
  void RemoveConnection(const std::string& name, const std::string& address);

  // Any thread.
  void SetUserCount(int n) { user_count_.store(n); }
  int UserCount() const { return user_count_.load(); }

  int ConnectionCount() const { return connection_count_; }
  bool ExitRequested() const { return exit_requested_; }
  bool Visible() const { return visible_; }
  const std::string& VersionInfo() const { return version_info_; }
  const std::string& OwnAddress() const { return own_address_; }

  // The grid: row 0 is the heading; rows 1.. hold machines.
  int RowCount() const { return static_cast<int>(rows_.size()); }
  // A row beyond the grid reads as empty.
  Row RowAt(int r) const;
  // The machines listed, up to the first row whose name and address are
  // both empty.
  std::vector<Row> Connections() const;

  // Yes when no client is connected; otherwise the user is asked and only
  // Yes answers yes.
  bool ConfirmExit();
  // acExit: marks the exit as requested and asks the window to close.
  // Returns true when the window may close (the program then ends).
  bool RequestExit();
  // FormCloseQuery: the close button, the system menu and acExit. Without a
  // requested exit, or when the user does not confirm, the window only hides.
  bool CloseQuery();
  // After the window agreed to close: with session objects still alive the
  // user is asked once more, and only Yes ends the program.
  bool ConfirmCloseWithLiveObjects(std::size_t live_objects);
  void Show() { visible_ = true; }
  void Hide() { visible_ = false; }

 private:
  void SetCell(int r, int c, std::string value);
  std::string Now() const;

  const Clock& clock_;
  Ask ask_;
  int connection_count_ = 0;
  std::atomic<int> user_count_{0};
  bool exit_requested_ = false;
  bool visible_ = false;  // starts hidden in the tray
  std::string version_info_;
  std::string own_address_;
  std::vector<Row> rows_;
};

}  // namespace tillbase::host

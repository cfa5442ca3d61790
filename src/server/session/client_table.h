// ClientTable: the server-wide table of client identifiers that NetConnect
// registers and refreshes and DisConnect releases. One per process, shared by
// every session thread, so it serialises itself.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "shared/ole_date.h"

namespace tillbase::session {

struct svrConnection {
  std::string ClientGUID;  // empty = the slot is free
  double LastSeen = 0;     // OLE date of the client's last NetConnect
  std::int32_t RefCount = 0;
};

class MainWindowLink;

class ClientTable {
 public:
  static constexpr int kSlots = 100;
  // A client that stays silent longer than this (in days, 604.8 seconds)
  // no longer counts as a user.
  static constexpr double kExpiryDays = 0.007;

  explicit ClientTable(const Clock& clock) : clock_(clock) {}

  // Frees the expired slots, registers or refreshes `guid` and returns the
  // number of live slots. With every slot live, a new identifier is not
  // registered. The user count is set on `window` (when given) while the
  // table is locked, so that concurrent calls leave it at the last answer.
  int NetConnect(const std::string& guid, MainWindowLink* window);

  // Counts the identifier's slot down; when it reaches 0 the slot is freed
  // and the window's user count lowered by one. Expired slots stay as they
  // are. Returns true when a slot was found.
  bool DisConnect(const std::string& guid, MainWindowLink* window);

  // A copy of one slot, for inspection.
  svrConnection Slot(int index) const;
  // Occupied slots (expired or not).
  int OccupiedCount() const;

 private:
  int FindLocked(const std::string& guid) const;

  const Clock& clock_;
  mutable std::mutex mutex_;
  std::array<svrConnection, kSlots> slots_{};
};

}  // namespace tillbase::session

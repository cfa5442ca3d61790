#include "server/session/client_table.h"

#include "server/session/main_window_link.h"

namespace tillbase::session {

int ClientTable::FindLocked(const std::string& guid) const {
  for (int i = 0; i < kSlots; ++i) {
    if (!slots_[i].ClientGUID.empty() && slots_[i].ClientGUID == guid) return i;
  }
  return -1;
}

int ClientTable::NetConnect(const std::string& guid, MainWindowLink* window) {
  std::lock_guard lock(mutex_);
  double now = clock_.Now();
  int live = 0;
  for (svrConnection& slot : slots_) {
    if (slot.ClientGUID.empty()) continue;
    if (now - slot.LastSeen > kExpiryDays) {
      slot.ClientGUID.clear();  // the other fields stay until the slot is reused
    } else {
      ++live;
    }
  }
  int found = guid.empty() ? -1 : FindLocked(guid);
  if (found >= 0) {
    slots_[found].LastSeen = now;
  } else if (!guid.empty()) {
    // An empty identifier would look like a free slot; it is never stored.
    for (svrConnection& slot : slots_) {
      if (!slot.ClientGUID.empty()) continue;
      slot.ClientGUID = guid;
      slot.LastSeen = now;
      slot.RefCount = 1;
      ++live;
      break;
    }
  }
  if (window != nullptr) window->SetUserCount(live);
  return live;
}

bool ClientTable::DisConnect(const std::string& guid, MainWindowLink* window) {
  std::lock_guard lock(mutex_);
  int found = guid.empty() ? -1 : FindLocked(guid);
  if (found < 0) return false;
  svrConnection& slot = slots_[found];
  --slot.RefCount;
  if (slot.RefCount <= 0) {
    slot.ClientGUID.clear();
    if (window != nullptr) window->SetUserCount(window->UserCount() - 1);
  }
  return true;
}

svrConnection ClientTable::Slot(int index) const {
  std::lock_guard lock(mutex_);
  return slots_.at(static_cast<size_t>(index));
}

int ClientTable::OccupiedCount() const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const svrConnection& slot : slots_) n += slot.ClientGUID.empty() ? 0 : 1;
  return n;
}

}  // namespace tillbase::session

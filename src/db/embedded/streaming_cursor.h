// A cursor over the engine that reads as the record set reads. The engine
// pushes its results; a worker thread runs the statement and waits whenever
// a block of rows is queued and not yet taken, so rows are handed over in
// blocks instead of being collected all at once.
//
// The cursor owns the engine connection while its worker runs: the
// connection must not be used by anyone else until BufferAll() (which lets
// the statement run to its end into memory) or the cursor's destruction.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "db/driver.h"
#include "db/embedded/call_outputs.h"
#include "engine/engine.h"

namespace tillbase::db::embedded {

class StreamingCursor : public BatchCursor {
 public:
  // The statement to run; it returns the call's result for a procedure.
  using Job = std::function<std::optional<engine::CallResult>(engine::ResultSink&)>;

  StreamingCursor(Job job, size_t block_rows, CallOutputs outputs);
  ~StreamingCursor() override;

  bool NextResultSet() override;
  const std::vector<ColumnDesc>& Columns() const override { return columns_; }
  size_t Fetch(std::vector<std::vector<Variant>>& out, size_t max_rows) override;
  int64_t RowsAffected() const override { return rows_affected_; }

  // Lets the statement run to its end, keeping what it produces; afterwards
  // the engine connection is free again.
  void BufferAll();
  // Called once the engine connection is free again (end, BufferAll or
  // destruction); cleared by the connection when it goes first.
  void SetOnRelease(std::function<void()> on_release) { on_release_ = std::move(on_release); }

 private:
  struct Item {
    enum Kind { kBegin, kRow, kEndSet, kCount, kError } kind = kRow;
    std::vector<ColumnDesc> columns;
    std::vector<engine::TypeInfo> types;
    std::vector<engine::Value> row;
    int64_t count = 0;
    engine::Message error;
  };
  class Sink;

  void Push(Item item);
  // Worker side: queues a row once there is room; false when the reader is
  // gone.
  bool PushRow(std::vector<engine::Value>&& row);
  // Reader side: the next item, waiting for one; nothing once the worker
  // is done.
  std::optional<Item> Pop();
  // Reader side, once `reading_` is used up: waits until `wanted` rows (at
  // most a block) are queued, or something other than a row, or the end;
  // then takes everything queued at once.
  void Refill(size_t wanted);
  void WakeWorkerIfRoom();  // with mutex_ held
  void JoinWorker();
  void Release();

  // The two sides wake each other only when the other waits and its
  // condition is met: rows are handed over in blocks, and a worker that
  // found the queue full resumes once the reader has taken half of it, not
  // for every row taken.
  std::mutex mutex_;
  std::condition_variable reader_cv_;
  std::condition_variable worker_cv_;
  std::vector<Item> queue_;  // filled by the worker
  // Items the reader has used, freed by the worker: memory goes back on the
  // thread that allocated it, so the two threads do not take turns at the
  // allocator's locks for every row.
  std::vector<Item> spent_;
  size_t queued_rows_ = 0;
  size_t queued_others_ = 0;  // items that are not rows
  size_t reader_wants_ = 0;   // rows the waiting reader needs; 0: not waiting
  bool worker_waiting_ = false;
  size_t block_rows_;
  bool done_ = false;
  bool abandon_ = false;
  bool unbounded_ = false;
  std::optional<engine::CallResult> result_;
  std::thread worker_;

  // Reader side.
  std::vector<Item> reading_;  // taken from the queue, read from read_at_ on
  size_t read_at_ = 0;
  std::optional<Item> peeked_;
  bool in_set_ = false;
  std::vector<ColumnDesc> columns_;
  std::vector<engine::TypeInfo> types_;
  int64_t rows_affected_ = -1;
  CallOutputs outputs_;
  bool joined_ = false;
  std::function<void()> on_release_;
};

}  // namespace tillbase::db::embedded

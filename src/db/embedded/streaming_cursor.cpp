#include "db/embedded/streaming_cursor.h"

#include <algorithm>

#include "db/embedded/value_conversion.h"
#include "db/errors.h"

namespace tillbase::db::embedded {

// Runs on the worker thread.
class StreamingCursor::Sink : public engine::ResultSink {
 public:
  explicit Sink(StreamingCursor* cursor) : cursor_(cursor) {}

  void BeginResultSet(const std::vector<engine::Column>& columns) override {
    Item item;
    item.kind = Item::kBegin;
    for (const engine::Column& c : columns) {
      ColumnDesc desc;
      desc.name = c.name;
      desc.type = DescOf(c.type);
      desc.nullable = c.nullable;
      desc.identity = c.identity;
      desc.key = c.key;
      desc.base_table = c.base_table;
      item.columns.push_back(std::move(desc));
      item.types.push_back(c.type);
    }
    in_set_ = true;
    cursor_->Push(std::move(item));
  }
  bool Row(std::vector<engine::Value>&& row) override {
    // A reader that has gone wants no more rows; the rest of the batch
    // still runs, as on a server.
    return cursor_->PushRow(std::move(row));
  }
  void EndResultSet() override {
    in_set_ = false;
    after_set_ = true;
    Item item;
    item.kind = Item::kEndSet;
    cursor_->Push(std::move(item));
  }
  void RowCount(int64_t count) override {
    // The count that follows a result set is that set's size.
    if (after_set_ || in_set_) {
      after_set_ = false;
      return;
    }
    Item item;
    item.kind = Item::kCount;
    item.count = count;
    cursor_->Push(std::move(item));
  }
  void OnMessage(const engine::Message& message) override {
    after_set_ = false;
    if (!message.IsError()) return;
    Item item;
    item.kind = Item::kError;
    item.error = message;
    cursor_->Push(std::move(item));
  }

 private:
  StreamingCursor* cursor_;
  bool in_set_ = false;
  bool after_set_ = false;
};

StreamingCursor::StreamingCursor(Job job, size_t block_rows, CallOutputs outputs)
    : block_rows_(block_rows > 0 ? block_rows : 1), outputs_(std::move(outputs)) {
  worker_ = std::thread([this, job = std::move(job)] {
    Sink sink(this);
    std::optional<engine::CallResult> result;
    try {
      result = job(sink);
    } catch (const engine::EngineError& e) {
      Item item;
      item.kind = Item::kError;
      item.error = e.message();
      Push(std::move(item));
    } catch (const std::exception& e) {
      Item item;
      item.kind = Item::kError;
      item.error.severity = 16;
      item.error.text = e.what();
      Push(std::move(item));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = std::move(result);
    done_ = true;
    reader_cv_.notify_all();
  });
}

StreamingCursor::~StreamingCursor() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandon_ = true;
    worker_cv_.notify_all();
  }
  JoinWorker();
}

void StreamingCursor::Push(Item item) {
  std::vector<Item> spent;  // freed after the lock is let go
  std::lock_guard<std::mutex> lock(mutex_);
  spent.swap(spent_);
  ++queued_others_;
  queue_.push_back(std::move(item));
  if (reader_wants_ > 0) reader_cv_.notify_all();
}

bool StreamingCursor::PushRow(std::vector<engine::Value>&& row) {
  std::vector<Item> spent;  // freed after the lock is let go
  std::unique_lock<std::mutex> lock(mutex_);
  if (!abandon_ && !unbounded_ && queued_rows_ >= block_rows_) {
    worker_waiting_ = true;
    worker_cv_.wait(lock,
                    [this] { return abandon_ || unbounded_ || queued_rows_ <= block_rows_ / 2; });
    worker_waiting_ = false;
  }
  spent.swap(spent_);
  if (abandon_) return false;
  Item item;
  item.kind = Item::kRow;
  item.row = std::move(row);
  queue_.push_back(std::move(item));
  ++queued_rows_;
  if (reader_wants_ > 0 && queued_rows_ >= reader_wants_) reader_cv_.notify_all();
  return true;
}

void StreamingCursor::WakeWorkerIfRoom() {
  if (worker_waiting_ && queued_rows_ <= block_rows_ / 2) worker_cv_.notify_all();
}

void StreamingCursor::Refill(size_t wanted) {
  // A reader that wants more than a block gets a block: the worker stops
  // at a full one.
  wanted = std::max<size_t>(1, std::min(wanted, block_rows_));
  std::vector<Item> used;  // freed here when the worker cannot take them
  std::unique_lock<std::mutex> lock(mutex_);
  if (queued_rows_ < wanted && queued_others_ == 0 && !done_) {
    reader_wants_ = wanted;
    reader_cv_.wait(lock, [&] { return queued_rows_ >= wanted || queued_others_ > 0 || done_; });
    reader_wants_ = 0;
  }
  if (done_ || !spent_.empty()) {
    used.swap(reading_);
  } else {
    spent_.swap(reading_);
  }
  reading_.clear();
  reading_.swap(queue_);
  read_at_ = 0;
  queued_rows_ = 0;
  queued_others_ = 0;
  WakeWorkerIfRoom();
}

std::optional<StreamingCursor::Item> StreamingCursor::Pop() {
  if (peeked_) {
    std::optional<Item> item = std::move(peeked_);
    peeked_.reset();
    return item;
  }
  if (read_at_ == reading_.size()) {
    Refill(1);
    if (reading_.empty()) return std::nullopt;
  }
  return std::move(reading_[read_at_++]);
}

void StreamingCursor::JoinWorker() {
  if (joined_) return;
  if (worker_.joinable()) worker_.join();
  joined_ = true;
  Release();
}

void StreamingCursor::Release() {
  if (on_release_) {
    std::function<void()> f = std::move(on_release_);
    on_release_ = nullptr;
    f();
  }
}

void StreamingCursor::BufferAll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unbounded_ = true;
    worker_cv_.notify_all();
  }
  JoinWorker();
}

bool StreamingCursor::NextResultSet() {
  // Rows of the current set that were not read are dropped.
  while (in_set_) {
    std::optional<Item> item = Pop();
    if (!item || item->kind == Item::kEndSet) in_set_ = false;
    if (item && item->kind == Item::kError) {
      in_set_ = false;
      peeked_ = std::move(item);
    }
  }
  columns_.clear();
  types_.clear();
  for (;;) {
    std::optional<Item> item = Pop();
    if (!item) {
      JoinWorker();
      if (result_) outputs_.Write(*result_);
      return false;
    }
    switch (item->kind) {
      case Item::kBegin:
        columns_ = std::move(item->columns);
        types_ = std::move(item->types);
        in_set_ = true;
        return true;
      case Item::kCount:
        rows_affected_ = (rows_affected_ < 0 ? 0 : rows_affected_) + item->count;
        break;
      case Item::kError:
        throw DbError(item->error.text, item->error.number);
      case Item::kRow:
      case Item::kEndSet:
        break;
    }
  }
}

size_t StreamingCursor::Fetch(std::vector<std::vector<Variant>>& out, size_t max_rows) {
  size_t n = 0;
  while (in_set_ && n < max_rows) {
    std::optional<Item> peeked;
    Item* item = nullptr;
    if (peeked_) {
      peeked = Pop();
      item = &*peeked;
    } else {
      if (read_at_ == reading_.size()) {
        // The rows are converted outside the lock, while the worker goes on.
        Refill(max_rows - n);
        if (reading_.empty()) {  // the worker is done
          in_set_ = false;
          break;
        }
      }
      item = &reading_[read_at_++];
    }
    if (item->kind == Item::kEndSet) {
      in_set_ = false;
      break;
    }
    if (item->kind != Item::kRow) {
      // The statement ended without closing its set (an error): the next
      // NextResultSet reports it.
      in_set_ = false;
      peeked_ = std::move(*item);
      break;
    }
    std::vector<Variant> row;
    row.reserve(item->row.size());
    for (size_t c = 0; c < item->row.size() && c < types_.size(); ++c) {
      row.push_back(ToVariant(item->row[c], types_[c]));
    }
    out.push_back(std::move(row));
    ++n;
  }
  return n;
}

}  // namespace tillbase::db::embedded

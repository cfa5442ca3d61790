#include "db/embedded/embedded_driver.h"

#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "db/embedded/call_outputs.h"
#include "db/embedded/streaming_cursor.h"
#include "db/embedded/value_conversion.h"
#include "db/errors.h"
#include "db/text_util.h"

namespace tillbase::db::embedded {
namespace {

// What a batch produced, in order: result sets, counts and errors.
struct Event {
  enum Kind { kResultSet, kCount, kError } kind;
  size_t index = 0;  // into result_sets for kResultSet
  int64_t count = 0;
  engine::Message error;
};

struct BufferedSet {
  std::vector<ColumnDesc> columns;
  std::vector<engine::TypeInfo> types;
  std::vector<std::vector<engine::Value>> rows;
};

// Records a batch's results. The engine pushes every row; the cursor hands
// them to the record set in blocks.
class RecordingSink : public engine::ResultSink {
 public:
  void BeginResultSet(const std::vector<engine::Column>& columns) override {
    BufferedSet set;
    for (const engine::Column& c : columns) {
      ColumnDesc desc;
      desc.name = c.name;
      desc.type = DescOf(c.type);
      desc.nullable = c.nullable;
      desc.identity = c.identity;
      desc.key = c.key;
      desc.base_table = c.base_table;
      set.columns.push_back(std::move(desc));
      set.types.push_back(c.type);
    }
    sets.push_back(std::move(set));
    events.push_back({Event::kResultSet, sets.size() - 1, 0, {}});
    in_set_ = true;
  }
  bool Row(std::vector<engine::Value>&& row) override {
    sets.back().rows.push_back(std::move(row));
    return true;
  }
  void EndResultSet() override {
    in_set_ = false;
    after_set_ = true;
  }
  void RowCount(int64_t count) override {
    // The count that follows a result set is that set's row count, not rows
    // affected.
    if (after_set_ || in_set_) {
      after_set_ = false;
      return;
    }
    events.push_back({Event::kCount, 0, count, {}});
  }
  void OnMessage(const engine::Message& message) override {
    after_set_ = false;
    if (message.IsError()) events.push_back({Event::kError, 0, 0, message});
  }

  std::vector<Event> events;
  std::vector<BufferedSet> sets;

 private:
  bool in_set_ = false;
  bool after_set_ = false;
};

// Keeps the first error of a call whose result sets nobody reads.
class FirstErrorSink : public engine::ResultSink {
 public:
  void BeginResultSet(const std::vector<engine::Column>&) override {}
  bool Row(std::vector<engine::Value>&&) override { return true; }
  void OnMessage(const engine::Message& message) override {
    if (message.IsError() && !error) error = message;
  }
  std::optional<engine::Message> error;
};

class EmbeddedCursor : public BatchCursor {
 public:
  explicit EmbeddedCursor(RecordingSink sink) : sink_(std::move(sink)) {}

  // Called once the call's outputs are known; they are written when the
  // cursor reaches its end, as a real server's would be.
  void SetOutputs(CallOutputs outputs, engine::CallResult result) {
    outputs_ = std::move(outputs);
    result_ = std::move(result);
  }

  bool NextResultSet() override {
    current_ = nullptr;
    while (next_event_ < sink_.events.size()) {
      const Event& e = sink_.events[next_event_++];
      switch (e.kind) {
        case Event::kResultSet:
          current_ = &sink_.sets[e.index];
          next_row_ = 0;
          return true;
        case Event::kCount:
          rows_affected_ = (rows_affected_ < 0 ? 0 : rows_affected_) + e.count;
          break;
        case Event::kError:
          // Errors are raised once; the outputs are still written first so
          // that what the procedure set is not lost.
          WriteOutputs();
          throw DbError(e.error.text, e.error.number);
      }
    }
    WriteOutputs();
    return false;
  }

  const std::vector<ColumnDesc>& Columns() const override {
    static const std::vector<ColumnDesc> kNone;
    return current_ != nullptr ? current_->columns : kNone;
  }

  size_t Fetch(std::vector<std::vector<Variant>>& out, size_t max_rows) override {
    if (current_ == nullptr) return 0;
    size_t n = 0;
    while (n < max_rows && next_row_ < current_->rows.size()) {
      std::vector<engine::Value>& row = current_->rows[next_row_++];
      std::vector<Variant> converted;
      converted.reserve(row.size());
      for (size_t c = 0; c < row.size(); ++c) {
        converted.push_back(ToVariant(row[c], current_->types[c]));
      }
      row.clear();  // handed over; the buffer does not keep a second copy
      out.push_back(std::move(converted));
      ++n;
    }
    return n;
  }

  int64_t RowsAffected() const override { return rows_affected_; }

 private:
  void WriteOutputs() { outputs_.Write(result_); }

  RecordingSink sink_;
  size_t next_event_ = 0;
  BufferedSet* current_ = nullptr;
  size_t next_row_ = 0;
  int64_t rows_affected_ = -1;
  CallOutputs outputs_;
  engine::CallResult result_;
};

class EmbeddedConnection : public DriverConnection {
 public:
  EmbeddedConnection(std::shared_ptr<engine::Engine> engine,
                     std::unique_ptr<engine::Connection> connection)
      : engine_(std::move(engine)), connection_(std::move(connection)) {}

  ~EmbeddedConnection() override {
    if (live_ != nullptr) {
      StreamingCursor* live = live_;
      live_ = nullptr;
      live->SetOnRelease(nullptr);
      live->BufferAll();
    }
    // The database rolls back what the session left open.
    try {
      if (connection_->TransactionCount() > 0)
        RunChecked("IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION");
    } catch (...) {
    }
  }

  std::unique_ptr<BatchCursor> ExecuteBatch(std::string_view sql) override {
    Settle();
    RecordingSink sink;
    Guard([&] { connection_->ExecuteBatch(sql, sink); });
    return std::make_unique<EmbeddedCursor>(std::move(sink));
  }

  std::unique_ptr<BatchCursor> CallProcedure(
      std::string_view name, std::shared_ptr<std::vector<Parameter>> params) override {
    Settle();
    CallOutputs outputs;
    outputs.map = MapFor(name, *params);
    FillArguments(*params, *outputs.map, call_args_);
    outputs.params = std::move(params);
    RecordingSink sink;
    engine::CallResult result;
    Guard([&] { result = connection_->CallProcedure(name, call_args_, sink); });
    auto cursor = std::make_unique<EmbeddedCursor>(std::move(sink));
    cursor->SetOutputs(std::move(outputs), std::move(result));
    return cursor;
  }

  void ExecProcedure(std::string_view name,
                     const std::shared_ptr<std::vector<Parameter>>& params) override {
    // The call is over when this returns, so the list and the map are used
    // in place, without taking shares of them.
    Settle();
    std::vector<Parameter>& list = *params;
    const ArgumentMap& map = *MapFor(name, list);
    FillArguments(list, map, call_args_);
    FirstErrorSink sink;
    engine::CallResult result;
    Guard([&] { result = connection_->CallProcedure(name, call_args_, sink); });
    WriteOutputs(result, &map, list);
    if (sink.error) throw DbError(sink.error->text, sink.error->number);
  }

  std::unique_ptr<BatchCursor> OpenBatch(std::string_view sql) override {
    Settle();
    std::string text(sql);
    engine::Connection* connection = connection_.get();
    return Track(std::make_unique<StreamingCursor>(
        [connection, text](engine::ResultSink& sink) -> std::optional<engine::CallResult> {
          connection->ExecuteBatch(text, sink);
          return std::nullopt;
        },
        kBlockRows, CallOutputs{}));
  }

  std::unique_ptr<BatchCursor> OpenProcedure(
      std::string_view name, std::shared_ptr<std::vector<Parameter>> params) override {
    Settle();
    CallOutputs outputs;
    outputs.map = MapFor(name, *params);
    std::vector<engine::ProcArgument> args;
    FillArguments(*params, *outputs.map, args);
    outputs.params = std::move(params);
    std::string proc(name);
    engine::Connection* connection = connection_.get();
    return Track(std::make_unique<StreamingCursor>(
        [connection, proc,
         args = std::move(args)](engine::ResultSink& sink) -> std::optional<engine::CallResult> {
          return connection->CallProcedure(proc, args, sink);
        },
        kBlockRows, std::move(outputs)));
  }

  std::vector<Parameter> DescribeProcedure(std::string_view name) override {
    Settle();
    // Callers refresh before every call; the description read last is
    // kept while the catalogue has not changed since and the same
    // procedure is asked for in the same database. The version is read
    // first, so a change made meanwhile makes the next refresh ask again.
    const uint64_t version = connection_->CatalogVersion();
    std::string database = connection_->CurrentDatabase();
    if (described_version_ == version && described_name_ == name &&
        described_database_ == database) {
      return described_params_;
    }
    std::vector<engine::ProcParamInfo> info;
    Guard([&] { info = connection_->DescribeProcedure(name); });
    std::vector<Parameter> out;
    for (const engine::ProcParamInfo& i : info) {
      Parameter p;
      p.name = i.name;
      p.sql_type = DescOf(i.type);
      p.data_type = ParamTypeOf(p.sql_type);
      p.direction = static_cast<int>(i.direction);
      p.size = FieldSizeOf(p.sql_type, p.data_type == 8 ? 0 : p.data_type);
      p.precision = i.type.precision;
      p.scale = i.type.scale;
      p.has_default = i.has_default;
      out.push_back(std::move(p));
    }
    described_name_ = std::string(name);
    described_database_ = std::move(database);
    described_version_ = version;
    described_ = std::move(info);
    described_params_ = out;
    ++described_serial_;
    return out;
  }

  void BeginTransaction() override { RunChecked("BEGIN TRANSACTION"); }
  void Commit() override { RunChecked("COMMIT TRANSACTION"); }
  void Rollback() override { RunChecked("ROLLBACK TRANSACTION"); }
  int TransactionCount() override {
    Settle();
    return connection_->TransactionCount();
  }

  void SetCommandTimeout(int seconds) override {
    if (seconds == timeout_) return;
    Settle();
    connection_->SetCommandTimeout(seconds);
    timeout_ = seconds;
  }

  void ChangeDatabase(std::string_view database) override {
    RunChecked("USE " + QuoteIdentifier(database));
  }

  std::string CurrentDatabase() override {
    Settle();
    return connection_->CurrentDatabase();
  }

  void Cancel() override { connection_->Cancel(); }

 private:
  // Rows the worker of an open record set may run ahead of its reader.
  static constexpr size_t kBlockRows = 1000;

  // The argument map for calling `name` with a list of this shape: kept
  // while the procedure, its description and the list's directions stay the
  // same, so that a repeated call builds nothing.
  const std::shared_ptr<const ArgumentMap>& MapFor(std::string_view name,
                                                   const std::vector<Parameter>& params) {
    if (map_ != nullptr && map_serial_ == described_serial_ && map_name_ == name &&
        map_directions_.size() == params.size()) {
      bool same = true;
      for (size_t i = 0; i < params.size() && same; ++i) {
        same = params[i].direction == map_directions_[i];
      }
      if (same) return map_;
    }
    // An output takes the declared type, not that of whatever value was
    // passed in (a varchar(10) output must not be cut to the length of its
    // input); inputs are converted to the declared type by the engine.
    const std::vector<engine::ProcParamInfo>* info = Described(name);
    auto map = std::make_shared<ArgumentMap>();
    map_directions_.assign(params.size(), 0);
    for (size_t i = 0; i < params.size(); ++i) map_directions_[i] = params[i].direction;
    for (size_t i = 1; i < params.size(); ++i) {
      if (params[i].direction == 4) continue;
      engine::TypeInfo type;
      type.type = engine::SqlType::kSqlVariant;
      if (info != nullptr && i < info->size()) type = (*info)[i].type;
      map->positions.push_back(static_cast<int>(i));
      map->types.push_back(type);
    }
    map_name_ = std::string(name);
    map_serial_ = described_serial_;
    map_ = std::move(map);
    return map_;
  }

  // The engine arguments of a call: one per mapped parameter, by name. The
  // vector's elements are overwritten, so a reused one allocates nothing.
  static void FillArguments(const std::vector<Parameter>& params, const ArgumentMap& map,
                            std::vector<engine::ProcArgument>& args) {
    args.resize(map.positions.size());
    for (size_t a = 0; a < args.size(); ++a) {
      const Parameter& p = params[static_cast<size_t>(map.positions[a])];
      engine::ProcArgument& arg = args[a];
      if (arg.name != p.name) arg.name = p.name;  // a repeated call has it already
      arg.output = p.direction == 2 || p.direction == 3;
      // A parameter given no value takes its declared default when it has
      // one, as an omitted argument would.
      arg.use_default = p.value.IsEmpty() && p.has_default && !arg.output;
      if (arg.use_default) {
        arg.value.emplace<std::monostate>();
      } else {
        AssignFromVariant(p.value, arg.value);
      }
      const engine::TypeInfo& type = map.types[a];
      if (arg.output && type.type != engine::SqlType::kSqlVariant) {
        arg.type = type;
      } else {
        arg.type.reset();
      }
    }
  }

  // An open record set's worker holds the engine connection; anything else
  // that needs it lets that statement finish into memory first.
  void Settle() {
    if (live_ == nullptr) return;
    StreamingCursor* live = live_;
    live_ = nullptr;
    live->BufferAll();
  }

  std::unique_ptr<BatchCursor> Track(std::unique_ptr<StreamingCursor> cursor) {
    live_ = cursor.get();
    StreamingCursor* raw = cursor.get();
    cursor->SetOnRelease([this, raw] {
      if (live_ == raw) live_ = nullptr;
    });
    return cursor;
  }

  template <typename F>
  void Guard(F&& f) {
    try {
      f();
    } catch (const engine::EngineError& e) {
      throw DbError(e.message().text, e.number());
    }
  }

  void RunChecked(std::string_view sql) {
    std::unique_ptr<BatchCursor> cursor = ExecuteBatch(sql);
    cursor->Drain();
  }

  // The engine's description of the procedure last refreshed, when it is
  // the one being called; it gives the exact types of output values.
  const std::vector<engine::ProcParamInfo>* Described(std::string_view name) {
    return described_name_ == name ? &described_ : nullptr;
  }

  std::shared_ptr<engine::Engine> engine_;
  std::unique_ptr<engine::Connection> connection_;
  int timeout_ = -1;
  std::string described_name_;
  std::vector<engine::ProcParamInfo> described_;
  std::string described_database_;
  uint64_t described_version_ = 0;  // the catalogue version it was read at
  std::vector<Parameter> described_params_;
  uint64_t described_serial_ = 0;  // counts descriptions, so a map knows its own
  std::shared_ptr<const ArgumentMap> map_;
  std::string map_name_;
  uint64_t map_serial_ = 0;
  std::vector<int> map_directions_;
  std::vector<engine::ProcArgument> call_args_;  // reused by every CallProcedure
  StreamingCursor* live_ = nullptr;
};

std::string RegistryKey(const std::string& data_dir) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(data_dir, ec);
  if (ec) return data_dir;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
  return (ec ? path.lexically_normal() : canonical).string();
}

std::string LocalHostName() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

}  // namespace

std::shared_ptr<engine::Engine> SharedEngine(const std::string& data_dir,
                                             const std::string& sa_password) {
  // Engines stay open for the life of the process: sessions connect and
  // disconnect all the time, and opening a data directory is not free.
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<engine::Engine>> engines;
  const std::string key = RegistryKey(data_dir);
  std::lock_guard<std::mutex> lock(mutex);
  auto it = engines.find(key);
  if (it != engines.end()) return it->second;
  engine::EngineOptions options;
  options.data_dir = key;
  options.sa_password = sa_password;
  std::shared_ptr<engine::Engine> engine;
  try {
    engine = engine::Engine::Open(options);
  } catch (const engine::EngineError& e) {
    throw DbError(e.message().text, e.number());
  }
  engines.emplace(key, engine);
  return engine;
}

std::unique_ptr<DriverConnection> WrapEngineConnection(
    std::shared_ptr<engine::Engine> engine, std::unique_ptr<engine::Connection> connection) {
  return std::make_unique<EmbeddedConnection>(std::move(engine), std::move(connection));
}

std::unique_ptr<DriverConnection> OpenEmbeddedConnection(const DriverSettings& settings,
                                                         const LoginInfo& login) {
  if (TrimBlanks(settings.data_dir).empty()) {
    throw DbError("No data directory is set for the embedded database (setting DataDir)");
  }
  // The first sa login into a data directory that does not exist yet sets
  // sa's password; later logins are checked against it.
  std::error_code ec;
  const bool initialising = !std::filesystem::exists(settings.data_dir, ec) ||
                            std::filesystem::is_empty(settings.data_dir, ec);
  const bool sa = EqualsNoCase(login.user, "sa") && !login.integrated;
  std::shared_ptr<engine::Engine> engine =
      SharedEngine(settings.data_dir, sa && initialising ? login.password : std::string());
  engine::ConnectOptions options;
  options.database = login.database.empty() ? "master" : login.database;
  options.login = login.integrated ? std::string() : login.user;
  options.password = login.password;
  options.trusted = login.integrated;
  options.host_name = login.host_name.empty() ? LocalHostName() : login.host_name;
  options.program_name = "tillbase";
  std::unique_ptr<engine::Connection> connection;
  try {
    connection = engine->Connect(options);
  } catch (const engine::EngineError& e) {
    throw DbError(e.message().text, e.number());
  }
  return WrapEngineConnection(std::move(engine), std::move(connection));
}

}  // namespace tillbase::db::embedded

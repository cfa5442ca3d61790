// The engine object, its connections, and the small value types of the
// public interface.
#include "engine/engine.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "engine/core/session.h"
#include "engine/errors.h"
#include "engine/server/server.h"

namespace tillbase::engine {

// ---- values -------------------------------------------------------------------

std::string Decimal::ToString() const {
  bool neg = unscaled < 0;
  unsigned __int128 m =
      neg ? static_cast<unsigned __int128>(-unscaled) : static_cast<unsigned __int128>(unscaled);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  if (scale > 0) {
    while (static_cast<int>(digits.size()) <= scale) digits.insert(digits.begin(), '0');
    digits.insert(digits.end() - scale, '.');
  }
  return (neg ? "-" : "") + digits;
}

double Decimal::ToDouble() const {
  long double v = static_cast<long double>(unscaled);
  for (int i = 0; i < scale; ++i) v /= 10;
  return static_cast<double>(v);
}

Decimal Decimal::Parse(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  size_t end = text.size();
  while (end > i && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  bool neg = false;
  if (i < end && (text[i] == '-' || text[i] == '+')) neg = text[i++] == '-';
  Decimal d;
  bool digits = false, point = false;
  for (; i < end; ++i) {
    char c = text[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') {
      throw EngineError(8114, 16, "Error converting data type varchar to numeric.");
    }
    digits = true;
    if (d.scale >= 38 || d.unscaled > (static_cast<__int128>(1) << 120)) {
      throw EngineError(8115, 16,
                        "Arithmetic overflow error converting varchar to data type numeric.");
    }
    d.unscaled = d.unscaled * 10 + (c - '0');
    if (point) ++d.scale;
  }
  if (!digits) throw EngineError(8114, 16, "Error converting data type varchar to numeric.");
  if (neg) d.unscaled = -d.unscaled;
  return d;
}

EngineError::EngineError(int number, int severity, std::string text) {
  message_.number = number;
  message_.severity = severity;
  message_.text = std::move(text);
}

// ---- collecting results -------------------------------------------------------

bool BatchResult::HasError() const { return FirstError() != nullptr; }

const Message* BatchResult::FirstError() const {
  for (const Message& m : messages) {
    if (m.IsError()) return &m;
  }
  return nullptr;
}

void CollectingSink::BeginResultSet(const std::vector<Column>& columns) {
  result_.result_sets.push_back(ResultSet{columns, {}});
}
bool CollectingSink::Row(std::vector<Value>&& row) {
  result_.result_sets.back().rows.push_back(std::move(row));
  return true;
}
void CollectingSink::RowCount(int64_t count) { result_.row_counts.push_back(count); }
void CollectingSink::OnMessage(const Message& message) { result_.messages.push_back(message); }

BatchResult Connection::ExecuteBatch(std::string_view sql) {
  CollectingSink sink;
  ExecuteBatch(sql, sink);
  return std::move(sink.result());
}

// ---- engine and connections -----------------------------------------------------

namespace {

class ConnectionImpl : public Connection {
 public:
  ConnectionImpl(std::shared_ptr<core::EngineShared> shared, const ConnectOptions& options)
      : server_(shared->server), session_(std::move(shared), options) {
    entry_ = server_->Register(session_.Spid(), options.login, options, &session_);
  }
  ~ConnectionImpl() override {
    entry_->Detach();
    server_->Unregister(entry_->spid());
  }

  bool ExecuteBatch(std::string_view sql, ResultSink& sink) override {
    Call call(*entry_, server::CallKind::kBatch, sql);
    return session_.ExecuteBatch(sql, sink);
  }
  CallResult CallProcedure(std::string_view name, const std::vector<ProcArgument>& args,
                           ResultSink& sink) override {
    Call call(*entry_, server::CallKind::kProcedure);
    return session_.CallProcedure(name, args, sink);
  }
  std::vector<ProcParamInfo> DescribeProcedure(std::string_view name) override {
    // A killed session has no catalogue left to read.
    Call call(*entry_, server::CallKind::kDescribe);
    return session_.DescribeProcedure(name);
  }
  void Cancel() override { session_.Cancel(); }
  void SetCommandTimeout(int seconds) override { session_.SetCommandTimeout(seconds); }
  std::string CurrentDatabase() const override { return session_.CurrentDatabase(); }
  int Spid() const override { return session_.Spid(); }
  int TransactionCount() const override { return session_.TransactionCount(); }
  uint64_t CatalogVersion() const override { return session_.CatalogVersion(); }

 private:
  // Marks the session busy in the registry for the length of one call.
  struct Call {
    Call(server::SessionEntry& e, server::CallKind kind, std::string_view batch = {})
        : entry(e), running{kind, batch} {
      entry.Enter(&running);
    }
    ~Call() { entry.Leave(); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    server::SessionEntry& entry;
    const server::SessionEntry::RunningCall running;  // the entry points here until Leave
  };

  std::shared_ptr<server::Server> server_;
  core::Session session_;
  std::shared_ptr<server::SessionEntry> entry_;
};

class EngineImpl : public Engine {
 public:
  explicit EngineImpl(const EngineOptions& options)
      : shared_(std::make_shared<core::EngineShared>()) {
    shared_->data_dir = options.data_dir;
    shared_->sa_password = options.sa_password;
    shared_->server_name = options.server_name;
    if (shared_->server_name.empty()) {
      char host[256] = {0};
      gethostname(host, sizeof host - 1);
      shared_->server_name = host;
    }
    std::error_code ec;
    std::filesystem::create_directories(options.data_dir, ec);
    if (ec || !std::filesystem::is_directory(options.data_dir)) {
      throw EngineError(
          5123, 16, "Cannot create the data directory '" + options.data_dir + "': " + ec.message());
    }
    // Opening master once creates and initialises it.
    ConnectOptions master;
    { core::Session first(shared_, master); }
    shared_->server = std::make_shared<server::Server>(shared_.get(), options);
  }

  std::unique_ptr<Connection> Connect(const ConnectOptions& options) override {
    // The session runs under the login's own spelling, or the
    // operating-system user for a trusted login.
    ConnectOptions checked = options;
    checked.login = shared_->server->Authenticate(options);
    if (checked.database.empty())
      checked.database = shared_->server->DefaultDatabase(checked.login);
    // Until the connection is in the session registry, a restore must see
    // that its database is being opened.
    shared_->server->BeginOpen(checked.database);
    struct Opening {
      server::Server& s;
      const std::string& db;
      ~Opening() { s.EndOpen(db); }
    } opening{*shared_->server, checked.database};
    return std::make_unique<ConnectionImpl>(shared_, checked);
  }

 private:
  std::shared_ptr<core::EngineShared> shared_;
};

}  // namespace

std::shared_ptr<Engine> Engine::Open(const EngineOptions& options) {
  if (options.data_dir.empty()) throw EngineError(5123, 16, "No data directory was given.");
  return std::make_shared<EngineImpl>(options);
}

}  // namespace tillbase::engine

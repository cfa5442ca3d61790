#include "engine/core/session.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <utility>

#include "engine/core/databases.h"
#include "engine/core/lib.h"
#include "engine/core/storage.h"
#include "engine/errors.h"
#include "engine/parser/parser.h"
#include "engine/server/commands.h"
#include "engine/server/server.h"
#include "engine/sql/convert.h"
#include "engine/sql/types.h"

namespace tillbase::engine::core {

namespace {

// Ends the batch after its error was reported.
struct BatchAbort {
  // A name that does not resolve ends only the procedure or dynamic SQL it
  // appears in; its caller carries on.
  bool scope_only = false;
};
// Carries an error from a TRY block to its CATCH block.
struct TryJump {
  Message message;
};

constexpr int kMaxNesting = 32;
constexpr size_t kBatchCacheSize = 256;

std::string StripGroup(const std::string& name, int* group) {
  *group = 1;
  size_t semi = name.find(';');
  if (semi == std::string::npos) return name;
  *group = std::atoi(name.c_str() + semi + 1);
  if (*group <= 0) *group = 1;
  return name.substr(0, semi);
}

// Whether a value of an integer type other than bit may hold i.
bool HoldsInteger(SqlType t, int64_t i) {
  switch (t) {
    case SqlType::kTinyInt:
      return i >= 0 && i <= 255;
    case SqlType::kSmallInt:
      return i >= -32768 && i <= 32767;
    case SqlType::kInt:
      return i >= INT32_MIN && i <= INT32_MAX;
    case SqlType::kBigInt:
      return true;
    default:
      return false;
  }
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string TextOfValue(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  if (const auto* d = std::get_if<double>(&v)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", *d);
    return buf;
  }
  if (const auto* d = std::get_if<Decimal>(&v)) return d->ToString();
  return {};
}

void ObjectNameFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  // 'dbo.[Name]' -> 'Name': the last part of a name, without brackets.
  const unsigned char* p = sqlite3_value_text(argv[0]);
  if (!p) {
    sqlite3_result_null(ctx);
    return;
  }
  std::string s(reinterpret_cast<const char*>(p));
  std::string part, last;
  bool bracket = false;
  for (char c : s) {
    if (bracket) {
      if (c == ']') {
        bracket = false;
      } else {
        part += c;
      }
    } else if (c == '[') {
      bracket = true;
    } else if (c == '.') {
      last = part;
      part.clear();
    } else if (c != '"') {
      part += c;
    }
  }
  last = part;
  while (!last.empty() && last.back() == ' ') last.pop_back();
  sqlite3_result_text(ctx, last.c_str(), static_cast<int>(last.size()), SQLITE_TRANSIENT);
}

void IdentityFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* session = static_cast<Session*>(sqlite3_user_data(ctx));
  const unsigned char* schema = sqlite3_value_text(argv[1]);
  int64_t v = session->NextIdentity(sqlite3_value_int64(argv[0]),
                                    schema ? reinterpret_cast<const char*>(schema) : "main");
  sqlite3_result_int64(ctx, v);
}

// tsql_fit(value, limit, bytes): the value, or error 8152 when it is longer
// than a column of `limit` characters (bytes) takes; trailing blanks of
// text do not count.
void FitFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  int type = sqlite3_value_type(argv[0]);
  if (type == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  int64_t limit = sqlite3_value_int64(argv[1]);
  bool bytes = sqlite3_value_int(argv[2]) != 0;
  int64_t length = 0;
  if (bytes || type == SQLITE_BLOB) {
    length = sqlite3_value_bytes(argv[0]);
  } else {
    const unsigned char* p = sqlite3_value_text(argv[0]);
    int n = sqlite3_value_bytes(argv[0]);
    while (n > 0 && p[n - 1] == ' ') --n;
    for (int i = 0; i < n; ++i) length += (p[i] & 0xC0) != 0x80;
  }
  if (length > limit) {
    std::string e = EncodeForSqlite(Truncation());
    sqlite3_result_error(ctx, e.data(), static_cast<int>(e.size()));
    return;
  }
  sqlite3_result_value(ctx, argv[0]);
}

int ProgressHandler(void* data) { return static_cast<Session*>(data)->ShouldInterrupt() ? 1 : 0; }

}  // namespace

std::string EngineShared::DatabasePath(std::string_view name) const {
  if (server) return server->OpenablePath(name);
  return (std::filesystem::path(data_dir) / (LowerName(name) + ".sqlite")).string();
}

Session::Session(std::shared_ptr<EngineShared> shared, const ConnectOptions& options)
    : shared_(std::move(shared)), options_(options) {
  spid_ = shared_->next_spid.fetch_add(1);
  OpenDatabase(options.database.empty() ? "master" : options.database);
}

Session::~Session() { CloseDatabase(); }

void Session::CloseDatabase() {
  DropBatchCache();
  proc_cache_.clear();
  // Closing the handle detaches the other databases; the server forgets
  // them with the session (or ForgetAttached did already).
  attached_.clear();
  live_attached_ = 0;
  context_ = nullptr;
  catalog_.reset();
  if (db_) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
}

namespace {

// Copies a connection's #tables (its temp schema: tables, their catalogue
// rows, indexes) into another connection's temp schema, replacing what was
// there. Both are in memory and of the same page size.
void CopyTempSchema(sqlite3* from, sqlite3* to) {
  {
    Stmt any(from, "SELECT EXISTS (SELECT 1 FROM temp.__tb_objects)");
    if (!any.Step() || any.Int(0) == 0) return;
  }
  sqlite3_backup* b = sqlite3_backup_init(to, "temp", from, "temp");
  if (!b) throw SqliteError(to, sqlite3_errcode(to));
  int rc = sqlite3_backup_step(b, -1);
  sqlite3_backup_finish(b);
  if (rc != SQLITE_DONE) throw SqliteError(to, rc);
}

}  // namespace

void Session::OpenDatabase(const std::string& name) {
  std::string path = shared_->DatabasePath(name);
  bool is_master = LowerName(name) == "master";
  if (!is_master && !std::filesystem::exists(path)) {
    throw MakeError(
        4060, 11, 1,
        "Cannot open database \"" + name + "\" requested by the login. The login failed.");
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    if (db) sqlite3_close_v2(db);
    throw MakeError(4060, 11, 1, "Cannot open database \"" + name + "\": " + msg);
  }
  // The new handle is made ready before the old one goes: a USE that fails
  // leaves the connection where it was, #tables included.
  try {
    PrepareHandle(db);
    // #tables belong to the connection, not to its database: they move
    // with it (SQL Server keeps them in tempdb).
    if (db_) CopyTempSchema(db_, db);
  } catch (...) {
    sqlite3_close_v2(db);
    throw;
  }
  ForgetAttached();
  CloseDatabase();
  db_ = db;
  catalog_ = std::make_unique<Catalog>(db_, "main", name);
  database_ = name;
  db_path_ = path;
  seen_version_ = shared_->schema_version.load();
}

void Session::PrepareHandle(sqlite3* db) {
  sqlite3_busy_timeout(db, 10000);
  sqlite3_extended_result_codes(db, 1);
  ExecSql(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY;");
  lib::Register(db, &settings_);
  sqlite3_create_function_v2(db, "tsql_object_name", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             ObjectNameFunction, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_fit", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             FitFunction, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_identity", 2, SQLITE_UTF8, this, IdentityFunction, nullptr,
                             nullptr, nullptr);
  sqlite3_progress_handler(db, 1000, ProgressHandler, this);
  server::RegisterFunctions(db, this);
  // A database already initialised needs no write: another connection may
  // hold a transaction open.
  bool initialised = false;
  bool old_views = false;
  {
    Stmt q(db,
           "SELECT sum(name IN ('__tb_objects', '__tb_columns', '__tb_procs', 'sysobjects', "
           "'syscolumns')), sum(type = 'view' AND instr(sql, 'main.') > 0) FROM "
           "main.sqlite_master");
    if (q.Step()) {
      initialised = q.Int(0) == 5;
      old_views = q.Int(1) > 0;
    }
  }
  if (old_views) {
    try {
      UpgradeViews(db);
    } catch (const EngineError&) {
      // Busy or read-only: the views still work here, where the file is
      // main; the next open (or an ATTACH that needs it) tries again.
    }
  }
  if (!initialised) {
    ExecSql(db, "BEGIN IMMEDIATE");
    try {
      Catalog::Initialize(db, "main");
      ExecSql(db, "COMMIT");
    } catch (...) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
  Catalog::Initialize(db, "temp");
}

void Session::CheckVersion() {
  uint64_t v = shared_->schema_version.load();
  if (v != seen_version_) {
    seen_version_ = v;
    InvalidateCatalogs();
    for (auto& [text, parsed] : batch_cache_) parsed->prepared.clear();
    proc_cache_.clear();
  }
}

void Session::SchemaChanged() {
  shared_->schema_version.fetch_add(1);
  CheckVersion();
}

void Session::Cancel() {
  cancel_.store(true);
  if (db_) sqlite3_interrupt(db_);
}

void Session::CheckCancel() {
  if (ShouldInterrupt()) throw MakeError(3617, 11, 1, "The query was cancelled.");
}

bool Session::ShouldInterrupt() {
  if (cancel_.load(std::memory_order_relaxed)) return true;
  if (timeout_seconds_ > 0 && std::chrono::steady_clock::now() > deadline_) {
    timed_out_ = true;
    return true;
  }
  return false;
}

// ---- variables and globals --------------------------------------------------

std::optional<TypeInfo> Session::VariableType(std::string_view name) {
  std::string n = LowerName(name);
  if (n.rfind("@@", 0) == 0) {
    static const std::map<std::string, TypeInfo> kGlobals = {
        {"@@identity", sql::DecimalType(38, 0)},
        {"@@scope_identity", sql::DecimalType(38, 0)},
        {"@@rowcount", sql::IntType()},
        {"@@error", sql::IntType()},
        {"@@trancount", sql::IntType()},
        {"@@spid", sql::MakeType(SqlType::kSmallInt, 2, 5, 0)},
        {"@@version", sql::NVarCharType(300)},
        {"@@servername", sql::NVarCharType(128)},
        {"@@db_name", sql::NVarCharType(128)},
        {"@@nestlevel", sql::IntType()},
        {"@@fetch_status", sql::IntType()},
        {"@@textsize", sql::IntType()},
        {"@@datefirst", sql::MakeType(SqlType::kTinyInt, 1, 3, 0)},
        {"@@language", sql::NVarCharType(128)},
        {"@@max_precision", sql::MakeType(SqlType::kTinyInt, 1, 3, 0)},
        {"@@error_message", sql::NVarCharType(4000)},
        {"@@error_number", sql::IntType()},
        {"@@error_severity", sql::IntType()},
        {"@@error_state", sql::IntType()},
        {"@@error_line", sql::IntType()},
        {"@@error_procedure", sql::NVarCharType(128)},
        {"@@host_name", sql::NVarCharType(128)},
        {"@@app_name", sql::NVarCharType(128)},
        {"@@suser_sname", sql::NVarCharType(128)},
        {"@@user_name", sql::NVarCharType(128)},
        {"@@system_user", sql::NVarCharType(128)},
    };
    auto it = kGlobals.find(n);
    if (it == kGlobals.end()) return std::nullopt;
    return it->second;
  }
  if (!frame_) return std::nullopt;
  auto it = frame_->vars.find(n);
  if (it == frame_->vars.end()) return std::nullopt;
  return it->second.type;
}

Value Session::GlobalValue(const std::string& n, Ctx& ctx) {
  auto text = [](std::string s) { return Value(std::move(s)); };
  auto err_field = [&](auto get) -> Value {
    if (!caught_) return std::monostate{};
    return get(*caught_);
  };
  if (n == "@@identity") return identity_;
  if (n == "@@scope_identity") return ctx.frame->scope_identity;
  if (n == "@@rowcount") return row_count_;
  if (n == "@@error") return static_cast<int64_t>(last_error_);
  if (n == "@@trancount") return static_cast<int64_t>(trancount_);
  if (n == "@@spid") return static_cast<int64_t>(spid_);
  if (n == "@@version") {
    return text("Tillbase embedded SQL engine 1.0 on SQLite " + std::string(sqlite3_libversion()));
  }
  if (n == "@@servername") return text(shared_->server_name);
  if (n == "@@db_name") return text(ContextDatabase());
  if (n == "@@nestlevel") return static_cast<int64_t>(depth_);
  if (n == "@@fetch_status") return static_cast<int64_t>(-1);
  if (n == "@@textsize") return static_cast<int64_t>(textsize_);
  if (n == "@@datefirst") return static_cast<int64_t>(settings_.datefirst);
  if (n == "@@language") return text("us_english");
  if (n == "@@max_precision") return static_cast<int64_t>(38);
  if (n == "@@error_message") return err_field([](const Message& m) { return Value(m.text); });
  if (n == "@@error_number") {
    return err_field([](const Message& m) { return Value(static_cast<int64_t>(m.number)); });
  }
  if (n == "@@error_severity") {
    return err_field([](const Message& m) { return Value(static_cast<int64_t>(m.severity)); });
  }
  if (n == "@@error_state") {
    return err_field([](const Message& m) { return Value(static_cast<int64_t>(m.state)); });
  }
  if (n == "@@error_line") {
    return err_field([](const Message& m) { return Value(static_cast<int64_t>(m.line)); });
  }
  if (n == "@@error_procedure") {
    return err_field([](const Message& m) -> Value {
      if (m.procedure.empty()) return std::monostate{};
      return m.procedure;
    });
  }
  if (n == "@@host_name") return text(options_.host_name);
  if (n == "@@app_name") return text(options_.program_name);
  if (n == "@@suser_sname" || n == "@@system_user") return text(options_.login);
  if (n == "@@user_name") return text("dbo");
  return std::monostate{};
}

Var* Session::FindVar(Ctx& ctx, const std::string& name) {
  auto it = ctx.frame->vars.find(LowerName(name));
  return it == ctx.frame->vars.end() ? nullptr : &it->second;
}

// ---- identity ---------------------------------------------------------------

bool Session::IdentityInsert(const TableInfo& table) {
  return !identity_insert_.empty() && identity_insert_ == IdentityKey(table.id, table.schema);
}

std::string Session::IdentityKey(int64_t object_id, std::string_view schema) const {
  if (schema == "temp") return "#" + std::to_string(spid_) + "|" + std::to_string(object_id);
  if (schema != "main") {
    for (const auto& a : attached_) {
      if (a->alias == schema) return a->path + "|" + std::to_string(object_id);
    }
  }
  return db_path_ + "|" + std::to_string(object_id);
}

void Session::EnsureIdentity(const TableInfo& table) {
  if (table.identity_index < 0) return;
  std::string key = IdentityKey(table.id, table.schema);
  {
    std::lock_guard<std::mutex> lock(shared_->identity_mutex);
    if (shared_->identities.count(key)) return;
  }
  const ColumnInfo& c = table.columns[static_cast<size_t>(table.identity_index)];
  EngineShared::Identity id;
  id.seed = c.seed;
  id.increment = c.increment;
  Stmt q(db_, std::string("SELECT ") + (c.increment >= 0 ? "MAX(" : "MIN(") + QuoteIdent(c.name) +
                  ") FROM " + table.SqlName());
  if (q.Step() && !q.IsNull(0)) {
    id.last = q.Int(0);
    id.used = true;
  }
  std::lock_guard<std::mutex> lock(shared_->identity_mutex);
  shared_->identities.emplace(key, id);
}

int64_t Session::NextIdentity(int64_t object_id, std::string_view schema) {
  std::string key = IdentityKey(object_id, schema);
  int64_t v;
  {
    std::lock_guard<std::mutex> lock(shared_->identity_mutex);
    EngineShared::Identity& id = shared_->identities[key];
    v = id.used ? id.last + id.increment : id.seed;
    id.last = v;
    id.used = true;
  }
  identity_ = Decimal{v, 0};
  return v;
}

// ---- batches ----------------------------------------------------------------

ParsedBatch& Session::Parse(std::string_view sql) {
  // Text run by a procedure of another database translates against that
  // database.
  std::string keyed;
  std::string_view key = sql;
  if (context_) {
    keyed = "\x01" + context_->alias + "\x01" + std::string(sql);
    key = keyed;
  }
  if (last_batch_ != nullptr && last_batch_->first == key) return *last_batch_->second;
  auto it = batch_cache_.find(key);
  if (it == batch_cache_.end()) {
    auto parsed = std::make_shared<ParsedBatch>();
    parsed->batch = parser::ParseBatch(sql);
    if (batch_cache_.size() >= kBatchCacheSize) DropBatchCache();
    it = batch_cache_.emplace(std::string(key), std::move(parsed)).first;
  }
  last_batch_ = &*it;
  return *it->second;
}

void Session::DropBatchCache() {
  last_batch_ = nullptr;
  if (calls_ > 0) {
    for (auto& [text, parsed] : batch_cache_) retired_.push_back(std::move(parsed));
  }
  batch_cache_.clear();
}

Session::CallScope::CallScope(Session& s) : s_(s) {
  if (!s_.db_) throw MakeError(0, 20, 1, "The connection is closed.");
  ++s_.calls_;
  // Only the owner's next call reads the flag back, so no ordering is due.
  s_.cancel_.store(false, std::memory_order_relaxed);
  s_.timed_out_ = false;
  if (s_.timeout_seconds_ > 0) {
    s_.deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(s_.timeout_seconds_);
  }
  s_.CheckVersion();
}

Session::CallScope::~CallScope() {
  if (--s_.calls_ == 0) s_.retired_.clear();
}

bool Session::ExecuteBatch(std::string_view sql, ResultSink& sink) {
  CallScope call(*this);
  ParsedBatch* parsed;
  try {
    parsed = &Parse(sql);
  } catch (const EngineError& e) {
    sink.OnMessage(e.message());
    last_error_ = e.number();
    return false;
  }
  Frame frame;
  bool ok = RunBatch(*parsed, sink, frame);
  ReleaseAttached();
  return ok;
}

bool Session::RunBatch(ParsedBatch& parsed, ResultSink& sink, Frame& frame) {
  // CREATE PROCEDURE and CREATE VIEW must open their batch.
  for (size_t i = 1; i < parsed.batch.statements.size(); ++i) {
    ast::StmtKind k = parsed.batch.statements[i]->kind;
    if (k == ast::StmtKind::kCreateProc || k == ast::StmtKind::kCreateView) {
      Message m;
      m.number = 111;
      m.severity = 15;
      m.line = parsed.batch.statements[i]->line;
      m.text = std::string("'") +
               (k == ast::StmtKind::kCreateProc ? "CREATE/ALTER PROCEDURE" : "CREATE VIEW") +
               "' must be the first statement in a query batch.";
      sink.OnMessage(m);
      last_error_ = 111;
      return false;
    }
  }
  Frame* saved = frame_;
  frame_ = &frame;
  Ctx ctx{&parsed, &sink, &frame};
  bool ok = true;
  struct ErrorWatch : ResultSink {
    ResultSink* inner;
    bool saw = false;
    void BeginResultSet(const std::vector<Column>& c) override { inner->BeginResultSet(c); }
    bool Row(std::vector<Value>&& r) override { return inner->Row(std::move(r)); }
    void EndResultSet() override { inner->EndResultSet(); }
    void RowCount(int64_t n) override { inner->RowCount(n); }
    void OnMessage(const Message& m) override {
      if (m.IsError()) saw = true;
      inner->OnMessage(m);
    }
  } watch;
  watch.inner = &sink;
  ctx.sink = &watch;
  try {
    ExecList(parsed.batch.statements, ctx);
  } catch (const BatchAbort&) {
    ok = false;
  } catch (const TryJump& j) {
    watch.OnMessage(j.message);
    ok = false;
  }
  frame_ = saved;
  return ok && !watch.saw;
}

Session::Flow Session::ExecList(const std::vector<ast::StmtPtr>& list, Ctx& ctx) {
  for (const ast::StmtPtr& s : list) {
    Flow f = Flow::kNext;
    try {
      CheckCancel();
      f = Exec(*s, ctx);
      bool compound = s->kind == ast::StmtKind::kIf || s->kind == ast::StmtKind::kBlock ||
                      s->kind == ast::StmtKind::kWhile || s->kind == ast::StmtKind::kTry;
      if (!compound) {
        if (!keep_error_) last_error_ = 0;
        keep_error_ = false;
      }
    } catch (const EngineError& e) {
      keep_error_ = false;
      OnError(e, *s, ctx);
      continue;
    }
    if (f != Flow::kNext) return f;
  }
  return Flow::kNext;
}

void Session::OnError(const EngineError& e, const ast::Statement& s, Ctx& ctx) {
  Message m = e.message();
  if (m.number != 3617) m.line = s.line;
  if (m.number == 3617 && timed_out_) m.text = "The query timed out.";
  if (m.procedure.empty()) m.procedure = ctx.frame->proc;
  last_error_ = m.number;
  if (m.number == 3617) {
    // A cancelled statement ends everything.
    if (trancount_ > 0) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      trancount_ = 0;
      SchemaChanged();
    }
    ctx.sink->OnMessage(m);
    throw BatchAbort{};
  }
  if (try_depth_ > 0 && m.severity >= 11 && m.severity < 20) throw TryJump{m};
  ctx.sink->OnMessage(m);
  if (m.number == 515 || m.number == 2627 || m.number == 2601 || m.number == 8152 ||
      m.number == 547 || m.number == 8115 || m.number == 8134) {
    Message done;
    done.number = 3621;
    done.severity = 0;
    done.state = 0;
    done.line = m.line;
    done.procedure = m.procedure;
    done.text = "The statement has been terminated.";
    if (m.number != 8115 && m.number != 8134) ctx.sink->OnMessage(done);
  }
  if (xact_abort_ && m.severity >= 11) {
    if (trancount_ > 0) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      trancount_ = 0;
      SchemaChanged();
    }
    throw BatchAbort{};
  }
  if (EndsBatch(m.number) || m.severity >= 20) {
    BatchAbort abort;
    abort.scope_only = (m.number == 207 || m.number == 208 || m.number == 209) && depth_ > 0;
    throw abort;
  }
  // A failed statement inside a transaction SQLite already undid; a failed
  // COMMIT leaves SQLite outside the transaction the counter expects.
  if (trancount_ > 0 && sqlite3_get_autocommit(db_)) {
    trancount_ = 0;
    SchemaChanged();
  }
}

// ---- translations -----------------------------------------------------------

template <typename F>
Prepared& Session::Prepare(Ctx& ctx, const void* node, int tag, F translate) {
  auto& slot = ctx.parsed->prepared[{node, tag}];
  if (slot && slot->version == seen_version_) {
    bool same = true;
    for (size_t i = 0; i < slot->t.params.size() && same; ++i) {
      auto t = VariableType(slot->t.params[i]);
      same = t && sql::EncodeType(*t) == sql::EncodeType(slot->t.param_types[i]);
    }
    if (same) {
      // Other databases are detached between calls; the statement
      // re-prepares itself once they are back under the same alias.
      if (!slot->databases.empty()) Reattach(slot->databases);
      return *slot;
    }
  }
  auto p = std::make_unique<Prepared>();
  Translator tr(*this);
  struct Touched {
    Session* s;
    ~Touched() { s->touched_ = nullptr; }
  } touched{this};
  touched_ = &p->databases;
  p->t = translate(tr);
  p->stmt = Stmt(db_, p->t.sql);
  p->version = seen_version_;
  slot = std::move(p);
  return *slot;
}

void Session::Bind(Prepared& p, Ctx& ctx) {
  sqlite3_stmt* st = p.stmt.get();
  // Statements are reset after each use; one left running (an error path
  // that did not) is reset here so that it takes new values.
  if (sqlite3_stmt_busy(st)) sqlite3_reset(st);
  for (size_t i = 0; i < p.t.params.size(); ++i) {
    const std::string& name = p.t.params[i];
    int index = static_cast<int>(i) + 1;
    if (name.rfind("@@", 0) == 0) {
      BindValue(st, index, GlobalValue(name, ctx), p.t.param_types[i]);
    } else {
      Var* v = FindVar(ctx, name);
      if (!v) throw MustDeclare(name);
      BindValue(st, index, v->value, v->type);
    }
  }
}

Value Session::EvalScalar(Ctx& ctx, const ast::Expr& e, const TypeInfo* target,
                          TypeInfo* type_out) {
  // Literals and variables need no trip through SQLite when no conversion is due.
  if (!target && e.kind == ast::ExprKind::kVariable) {
    if (Var* v = FindVar(ctx, e.text)) {
      if (type_out) *type_out = v->type;
      return v->value;
    }
  }
  Prepared& p =
      Prepare(ctx, &e, target ? static_cast<int>(sql::EncodeType(*target) & 0x3fffffff) + 1 : 0,
              [&](Translator& tr) { return tr.Scalar(e, target); });
  Bind(p, ctx);
  Value v;
  if (p.stmt.Step()) v = ReadValue(p.stmt.get(), 0, p.t.columns[0].type);
  sqlite3_reset(p.stmt.get());
  if (type_out) *type_out = p.t.columns[0].type;
  return v;
}

bool Session::EvalCondition(Ctx& ctx, const ast::Expr& e) {
  Prepared& p = Prepare(ctx, &e, -1, [&](Translator& tr) { return tr.Condition(e); });
  Bind(p, ctx);
  bool r = p.stmt.Step() && sqlite3_column_int64(p.stmt.get(), 0) != 0;
  sqlite3_reset(p.stmt.get());
  return r;
}

Value Session::ConvertValue(const Value& v, const TypeInfo& from, const TypeInfo& to) {
  if (IsNull(v)) return v;
  // An integer that both integer types hold stays as it is.
  if (const auto* i = std::get_if<int64_t>(&v);
      i && HoldsInteger(from.type, *i) && HoldsInteger(to.type, *i)) {
    return v;
  }
  // The conversion SQL's tsql_convert would make, without a statement's
  // round trip: arguments and outputs of every procedure call come here.
  sql::ConvertOptions options;
  options.dateformat = settings_.dateformat;
  return sql::ToValue(sql::ConvertStored(sql::ToStored(v, from), from, to, 0, options), to);
}

// ---- statements -------------------------------------------------------------

Session::Flow Session::Exec(const ast::Statement& s, Ctx& ctx) {
  using K = ast::StmtKind;
  switch (s.kind) {
    case K::kSelect:
      if (!s.select->first.into.empty()) {
        ExecSelectInto(s, ctx);
      } else {
        ExecQuery(s, ctx);
      }
      return Flow::kNext;
    case K::kInsert:
    case K::kUpdate:
    case K::kDelete:
      ExecDml(s, ctx);
      return Flow::kNext;
    case K::kTruncate:
      ExecTruncate(s, ctx);
      return Flow::kNext;
    case K::kDeclare:
      ExecDeclare(s, ctx);
      return Flow::kNext;
    case K::kSetVar: {
      Var* v = FindVar(ctx, s.variable);
      if (!v) throw MustDeclare(s.variable);
      Prepared& p = Prepare(ctx, &s, 0, [&](Translator& tr) {
        return tr.Assignment(s.variable, s.assign_op, *s.value);
      });
      Bind(p, ctx);
      Value val;
      if (p.stmt.Step()) val = ReadValue(p.stmt.get(), 0, p.t.columns[0].type);
      sqlite3_reset(p.stmt.get());
      v->value = std::move(val);
      row_count_ = 1;
      return Flow::kNext;
    }
    case K::kSetOption:
      ExecSetOption(s, ctx);
      return Flow::kNext;
    case K::kIf:
      if (EvalCondition(ctx, *s.condition)) return ExecList(s.body, ctx);
      if (s.has_else) return ExecList(s.else_body, ctx);
      return Flow::kNext;
    case K::kBlock:
      return ExecList(s.body, ctx);
    case K::kWhile:
      while (EvalCondition(ctx, *s.condition)) {
        CheckCancel();
        Flow f = ExecList(s.body, ctx);
        if (f == Flow::kBreak) break;
        if (f == Flow::kReturn) return f;
      }
      return Flow::kNext;
    case K::kBreak:
      return Flow::kBreak;
    case K::kContinue:
      return Flow::kContinue;
    case K::kReturn:
      if (!s.args.empty()) {
        TypeInfo it = sql::IntType();
        Value v = EvalScalar(ctx, *s.args[0], &it, nullptr);
        ctx.frame->return_status = IsNull(v) ? 0 : static_cast<int>(std::get<int64_t>(v));
      }
      return Flow::kReturn;
    case K::kRaiserror:
      ExecRaiserror(s, ctx);
      return Flow::kNext;
    case K::kPrint:
      ExecPrint(s, ctx);
      return Flow::kNext;
    case K::kTry: {
      ++try_depth_;
      try {
        Flow f = ExecList(s.body, ctx);
        --try_depth_;
        return f;
      } catch (const TryJump& j) {
        --try_depth_;
        std::optional<Message> saved = caught_;
        caught_ = j.message;
        last_error_ = j.message.number;
        keep_error_ = true;
        Flow f = ExecList(s.else_body, ctx);
        caught_ = saved;
        return f;
      }
    }
    case K::kExec:
      ExecExec(s, ctx);
      return Flow::kNext;
    case K::kExecString:
      ExecExecString(s, ctx);
      return Flow::kNext;
    case K::kBeginTran:
    case K::kCommit:
    case K::kRollback:
    case K::kSaveTran:
      ExecTransaction(s, ctx);
      return Flow::kNext;
    case K::kCreateTable:
      ExecCreateTable(s, ctx);
      return Flow::kNext;
    case K::kAlterTableAdd:
    case K::kAlterTableDrop:
      ExecAlterTable(s, ctx);
      return Flow::kNext;
    case K::kDropTable:
    case K::kDropView:
    case K::kDropProc:
    case K::kDropIndex:
      ExecDrop(s, ctx);
      return Flow::kNext;
    case K::kCreateView:
      ExecCreateView(s, ctx);
      return Flow::kNext;
    case K::kCreateProc:
      ExecCreateProc(s, ctx);
      return Flow::kNext;
    case K::kCreateIndex:
      ExecCreateIndex(s, ctx);
      return Flow::kNext;
    case K::kUse: {
      if (trancount_ > 0) throw NotSupported("USE inside a transaction");
      if (context_ || foreign_contexts_ > 0) {
        throw NotSupported("USE in a procedure of another database");
      }
      std::string name = s.target[0];
      std::string leaving = database_;
      server::Server* server = shared_->server.get();
      if (server) server->BeforeUse(spid_, name, leaving);  // 911 when unknown
      try {
        if (LowerName(name) != LowerName(database_)) {
          // Frames keep their variables; only the storage changes.
          OpenDatabase(name);
        }
      } catch (...) {
        if (server) server->AfterUse(spid_, database_, leaving);
        throw;
      }
      if (server) server->AfterUse(spid_, database_, leaving);
      Message m;
      m.number = 5701;
      m.severity = 0;
      m.line = s.line;
      m.text = "Changed database context to '" + database_ + "'.";
      ctx.sink->OnMessage(m);
      return Flow::kNext;
    }
    case K::kEmpty:
      return Flow::kNext;
    case K::kServer:
      server::ExecuteStatement(*this, s.body_text, s.line, *ctx.sink, [&](const std::string& n) {
        Var* v = FindVar(ctx, n);
        if (!v) throw MustDeclare(n);
        return v->value;
      });
      return Flow::kNext;
  }
  throw NotSupported("this statement");
}

void Session::ExecQuery(const ast::Statement& s, Ctx& ctx) {
  Prepared& p = Prepare(ctx, &s, 0, [&](Translator& tr) { return tr.Query(*s.select); });
  if (!p.t.assign_vars.empty()) {
    if (fmtonly_) return;
    Bind(p, ctx);
    sqlite3_stmt* st = p.stmt.get();
    int64_t rows = 0;
    std::vector<Value> values(p.t.assign_vars.size());
    while (p.stmt.Step()) {
      ++rows;
      for (size_t i = 0; i < p.t.assign_vars.size(); ++i) {
        Var* v = FindVar(ctx, p.t.assign_vars[i]);
        v->value = ReadValue(st, static_cast<int>(i), p.t.columns[i].type);
      }
    }
    sqlite3_reset(st);
    row_count_ = rows;
    return;
  }
  ctx.sink->BeginResultSet(p.t.columns);
  if (fmtonly_) {
    ctx.sink->EndResultSet();
    return;
  }
  Bind(p, ctx);
  sqlite3_stmt* st = p.stmt.get();
  int64_t rows = 0;
  size_t n = p.t.columns.size();
  // Integer and text cells, the common ones, are built in place; the rest
  // go through ReadValue. The storage of each column is looked up once.
  enum class Cell : uint8_t { kInt, kText, kOther };
  std::vector<Cell> cells(n, Cell::kOther);
  for (size_t i = 0; i < n; ++i) {
    sql::Storage storage = sql::StorageOf(p.t.columns[i].type.type);
    if (storage == sql::Storage::kInt) cells[i] = Cell::kInt;
    if (storage == sql::Storage::kText || storage == sql::Storage::kGuid) cells[i] = Cell::kText;
  }
  try {
    while (p.stmt.Step()) {
      ++rows;
      std::vector<Value> row;
      row.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        const int col = static_cast<int>(i);
        if (cells[i] == Cell::kText) {
          // Text comes back as text whatever the cell holds; no text
          // pointer means NULL (or, seldom, an empty blob: ask then).
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
          if (text != nullptr) {
            row.emplace_back(std::in_place_type<std::string>, text,
                             static_cast<size_t>(sqlite3_column_bytes(st, col)));
          } else if (sqlite3_column_type(st, col) == SQLITE_NULL) {
            row.emplace_back();
          } else {
            row.emplace_back(std::in_place_type<std::string>);
          }
          continue;
        }
        const int kind = sqlite3_column_type(st, col);
        if (kind == SQLITE_NULL) {
          row.emplace_back();
        } else if (cells[i] == Cell::kInt && kind == SQLITE_INTEGER) {
          row.emplace_back(std::in_place_type<int64_t>, sqlite3_column_int64(st, col));
        } else {
          row.push_back(ReadValue(st, col, p.t.columns[i].type));
        }
      }
      if (!ctx.sink->Row(std::move(row))) break;
    }
  } catch (...) {
    sqlite3_reset(st);
    ctx.sink->EndResultSet();
    throw;
  }
  sqlite3_reset(st);
  ctx.sink->EndResultSet();
  row_count_ = rows;
  if (!nocount_) ctx.sink->RowCount(rows);
}

void Session::ExecDml(const ast::Statement& s, Ctx& ctx) {
  Prepared& p = Prepare(ctx, &s, 0, [&](Translator& tr) {
    if (s.kind == ast::StmtKind::kInsert) return tr.Insert(s);
    if (s.kind == ast::StmtKind::kUpdate) return tr.Update(s);
    return tr.Delete(s);
  });
  if (fmtonly_) return;
  bool explicit_identity = s.kind == ast::StmtKind::kInsert && p.t.target &&
                           p.t.target->identity_index >= 0 && IdentityInsert(*p.t.target);
  bool identity = s.kind == ast::StmtKind::kInsert && p.t.target &&
                  p.t.target->identity_index >= 0 && !explicit_identity;
  if (identity) EnsureIdentity(*p.t.target);
  Bind(p, ctx);
  // @@IDENTITY as it was, put back when the insert fails or makes none.
  Value before;
  if (s.kind == ast::StmtKind::kInsert && !IsNull(identity_)) before = std::exchange(identity_, {});
  try {
    while (p.stmt.Step()) {
    }
  } catch (const EngineError& e) {
    if (s.kind == ast::StmtKind::kInsert) identity_ = std::move(before);
    if (e.number() == 515 && p.t.target) {
      // SQL Server names the table in full and the statement that failed.
      std::string column;
      const std::string& text = e.message().text;
      size_t a = text.find('\''), b = a == std::string::npos ? a : text.find('\'', a + 1);
      if (b != std::string::npos) column = text.substr(a + 1, b - a - 1);
      std::string table = p.t.target->database + ".dbo." + p.t.target->name;
      throw MakeError(515, 16, 2,
                      "Cannot insert the value NULL into column '" + column + "', table '" + table +
                          "'; column does not allow nulls. " +
                          (s.kind == ast::StmtKind::kUpdate ? "UPDATE" : "INSERT") + " fails.");
    }
    throw;
  } catch (...) {
    if (s.kind == ast::StmtKind::kInsert) identity_ = std::move(before);
    throw;
  }
  sqlite3_reset(p.stmt.get());
  int64_t n = sqlite3_changes64(db_);
  if (identity && n > 0) ctx.frame->scope_identity = identity_;
  if (explicit_identity) {
    // Explicit identity values: the next generated one follows the highest.
    std::lock_guard<std::mutex> lock(shared_->identity_mutex);
    shared_->identities.erase(IdentityKey(p.t.target->id, p.t.target->schema));
  }
  if (s.kind == ast::StmtKind::kInsert && !identity && !explicit_identity &&
      !(IsNull(before) && IsNull(identity_))) {
    identity_ = std::move(before);
  }
  row_count_ = n;
  if (!nocount_) ctx.sink->RowCount(n);
}

void Session::ExecSelectInto(const ast::Statement& s, Ctx& ctx) {
  const std::vector<std::string>& into = s.select->first.into;
  const std::string& name = into.back();
  bool temp = !name.empty() && name[0] == '#';
  // The query's columns give the new table's.
  Translation t;
  {
    ast::Select& sel = *s.select;
    std::vector<std::string> saved = sel.first.into;
    sel.first.into.clear();
    try {
      Translator tr(*this);
      t = tr.Query(sel);
    } catch (...) {
      sel.first.into = saved;
      throw;
    }
    sel.first.into = saved;
  }
  if (!t.assign_vars.empty()) throw NotSupported("SELECT @v = ... INTO");
  Catalog& catalog = TargetCatalog(into);
  std::string qualified =
      (temp ? std::string("temp") : SchemaSql(catalog.schema())) + "." + QuoteIdent(name);
  Atomically([&] {
    int64_t id = catalog.AddObject(name, "U", temp);
    std::vector<ColumnInfo> cols;
    std::string ddl = "CREATE TABLE " + qualified + " (";
    for (size_t i = 0; i < t.columns.size(); ++i) {
      const Column& c = t.columns[i];
      if (c.name.empty()) {
        throw MakeError(1038, 15, 5,
                        "An object or column name is missing or empty. For SELECT INTO "
                        "statements, verify each column has a name.");
      }
      ColumnInfo ci;
      ci.name = c.name;
      ci.type = c.type;
      ci.nullable = c.nullable;
      cols.push_back(ci);
      ddl += (i ? ", " : "") + QuoteIdent(c.name) + " " + Translator::StorageDecl(c.type);
    }
    ddl += ")";
    ExecSql(db_, ddl);
    catalog.AddColumns(id, temp, cols);
    Stmt ins(db_, "INSERT INTO " + qualified + " " + t.sql);
    Prepared p;
    p.t = t;
    p.stmt = std::move(ins);
    Bind(p, ctx);
    while (p.stmt.Step()) {
    }
    row_count_ = sqlite3_changes64(db_);
  });
  SchemaChanged();
  if (!nocount_) ctx.sink->RowCount(row_count_);
}

void Session::ExecTruncate(const ast::Statement& s, Ctx& ctx) {
  auto table = Table(s.target);
  if (!table || table->kind != 'U') throw InvalidObject(s.target.back());
  ExecSql(db_, "DELETE FROM " + table->SqlName());
  std::lock_guard<std::mutex> lock(shared_->identity_mutex);
  shared_->identities.erase(IdentityKey(table->id, table->schema));
}

void Session::ExecDeclare(const ast::Statement& s, Ctx& ctx) {
  for (const ast::Declaration& d : s.declarations) {
    std::string n = LowerName(d.name);
    if (ctx.frame->vars.count(n)) {
      throw MakeError(134, 15, 1,
                      "The variable name '" + d.name +
                          "' has already been declared. Variable names must be unique within a "
                          "query batch or stored procedure.");
    }
    Var v;
    v.type = d.type.info;
    ctx.frame->vars.emplace(n, v);
    if (d.init) {
      Value val = EvalScalar(ctx, *d.init, &v.type, nullptr);
      ctx.frame->vars[n].value = std::move(val);
    }
  }
}

void Session::ExecSetOption(const ast::Statement& s, Ctx& ctx) {
  std::vector<std::string> names = {s.option};
  for (const std::string& w : s.with_options) names.push_back(w);
  bool on = s.option_value == "on";
  for (const std::string& o : names) {
    if (o == "nocount") {
      nocount_ = on;
    } else if (o == "xact_abort") {
      xact_abort_ = on;
    } else if (o == "fmtonly") {
      fmtonly_ = on;
    } else if (o == "dateformat") {
      std::string v = s.option_value;
      if (s.option_expr) v = TextOfValue(EvalScalar(ctx, *s.option_expr, nullptr, nullptr));
      v = LowerName(v);
      static const std::vector<std::string> kFormats = {"mdy", "dmy", "ymd", "ydm", "myd", "dym"};
      if (std::find(kFormats.begin(), kFormats.end(), v) == kFormats.end()) {
        throw MakeError(2741, 16, 1, "SET DATEFORMAT date order '" + v + "' is invalid.");
      }
      settings_.dateformat = v;
    } else if (o == "textsize") {
      textsize_ = std::atoi(s.option_value.c_str());
      if (textsize_ <= 0) textsize_ = 2147483647;
    } else if (o == "datefirst") {
      int d = std::atoi(s.option_value.c_str());
      if (d < 1 || d > 7)
        throw MakeError(2742, 16, 1, "SET DATEFIRST " + s.option_value + " is out of range.");
      settings_.datefirst = d;
    } else if (o == "rowcount") {
      if (s.option_value != "0") throw NotSupported("SET ROWCOUNT with a limit");
    } else if (o == "identity_insert") {
      auto table = Table(s.target);
      if (!table || table->kind != 'U') throw InvalidObject(s.target.back());
      if (table->identity_index < 0) {
        throw MakeError(8106, 16, 1,
                        "Table '" + table->name +
                            "' does not have the identity property. Cannot perform SET "
                            "operation.");
      }
      std::string key = IdentityKey(table->id, table->schema);
      if (on && !identity_insert_.empty() && identity_insert_ != key) {
        throw MakeError(8107, 16, 1,
                        "IDENTITY_INSERT is already ON for another table. Cannot perform SET "
                        "operation for table '" +
                            table->name + "'.");
      }
      if (on) {
        identity_insert_ = key;
      } else if (identity_insert_ == key) {
        identity_insert_.clear();
      }
      // Inserts into the table translate differently now.
      SchemaChanged();
    } else if (o == "ansi_nulls" || o == "quoted_identifier" || o == "ansi_warnings" ||
               o == "ansi_padding" || o == "arithabort" || o == "concat_null_yields_null" ||
               o == "ansi_null_dflt_on" || o == "implicit_transactions" ||
               o == "cursor_close_on_commit" || o == "numeric_roundabort" || o == "ansi_defaults" ||
               o == "language" || o == "lock_timeout" || o == "transaction isolation level" ||
               o == "deadlock_priority" || o == "noexec" || o == "statistics" ||
               o == "showplan_text" || o == "query_governor_cost_limit" || o == "arithignore" ||
               o == "nocount_off") {
      if (o == "implicit_transactions" && on) throw NotSupported("SET IMPLICIT_TRANSACTIONS ON");
      if (o == "noexec" && on) throw NotSupported("SET NOEXEC ON");
      // Accepted; the engine behaves as with the defaults clients use.
    } else {
      throw NotSupported("SET " + Upper(o));
    }
  }
}

void Session::ExecRaiserror(const ast::Statement& s, Ctx& ctx) {
  TypeInfo type;
  Value msg = EvalScalar(ctx, *s.args[0], nullptr, &type);
  TypeInfo it = sql::IntType();
  Value sev = EvalScalar(ctx, *s.args[1], &it, nullptr);
  Value st = EvalScalar(ctx, *s.args[2], &it, nullptr);
  std::vector<Value> args;
  for (size_t i = 3; i < s.args.size(); ++i)
    args.push_back(EvalScalar(ctx, *s.args[i], nullptr, nullptr));
  Message m;
  m.severity = IsNull(sev) ? 16 : static_cast<int>(std::get<int64_t>(sev));
  m.state = IsNull(st) ? 1 : static_cast<int>(std::get<int64_t>(st));
  m.line = s.line;
  m.procedure = ctx.frame->proc;
  if (m.severity < 0) m.severity = 0;
  if (m.severity > 25) m.severity = 25;
  if (m.state < 0 || m.state > 255) m.state = 1;
  std::string format;
  if (sql::IsIntegerType(type.type)) {
    m.number = IsNull(msg) ? 50000 : static_cast<int>(std::get<int64_t>(msg));
    if (m.number < 50000) {
      throw MakeError(2732, 16, 1,
                      "Error number " + std::to_string(m.number) +
                          " is invalid. The number must be from 13000 through 2147483647 and it "
                          "cannot be 50000.");
    }
    format = "User-defined message " + std::to_string(m.number) + ".";
  } else {
    m.number = 50000;
    format = TextOfValue(msg);
  }
  // printf-style substitution: %s %d %i %u %x %X %o, with %% for a percent.
  std::string text;
  size_t next_arg = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      text += c;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      text += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    std::string spec = "%";
    while (j < format.size() &&
           std::string("-+ #0123456789.lhI").find(format[j]) != std::string::npos) {
      if (format[j] != 'l' && format[j] != 'h' && format[j] != 'I') spec += format[j];
      ++j;
    }
    if (j >= format.size()) {
      text += format.substr(i);
      break;
    }
    char conv = format[j];
    Value a = next_arg < args.size() ? args[next_arg++] : Value{};
    char buf[512];
    if (IsNull(a)) {
      text += "(null)";
    } else if (conv == 's') {
      std::snprintf(buf, sizeof buf, (spec + "s").c_str(), TextOfValue(a).c_str());
      text += buf;
    } else if (conv == 'd' || conv == 'i' || conv == 'u' || conv == 'x' || conv == 'X' ||
               conv == 'o') {
      long long n = 0;
      if (const auto* x = std::get_if<int64_t>(&a))
        n = *x;
      else
        n = std::atoll(TextOfValue(a).c_str());
      std::snprintf(buf, sizeof buf,
                    (spec + "ll" + std::string(1, conv == 'i' ? 'd' : conv)).c_str(), n);
      text += buf;
    } else {
      text += format.substr(i, j - i + 1);
    }
    i = j;
  }
  m.text = text;
  bool seterror =
      std::find(s.with_options.begin(), s.with_options.end(), "seterror") != s.with_options.end();
  if (m.severity >= 11) {
    throw EngineError(m);
  }
  ctx.sink->OnMessage(m);
  if (seterror) {
    last_error_ = m.number;
    keep_error_ = true;
  }
}

void Session::ExecPrint(const ast::Statement& s, Ctx& ctx) {
  TypeInfo t = sql::NVarCharType(4000);
  Value v = EvalScalar(ctx, *s.args[0], &t, nullptr);
  Message m;
  m.number = 0;
  m.severity = 0;
  m.line = s.line;
  m.procedure = ctx.frame->proc;
  m.text = TextOfValue(v);
  ctx.sink->OnMessage(m);
}

template <typename F>
void Session::Atomically(F body) {
  ExecSql(db_, "SAVEPOINT tb_ddl");
  try {
    body();
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK TO tb_ddl; RELEASE tb_ddl", nullptr, nullptr, nullptr);
    InvalidateCatalogs();
    throw;
  }
  ExecSql(db_, "RELEASE tb_ddl");
}

void Session::ExecCreateTable(const ast::Statement& s, Ctx& ctx) {
  const std::string& name = s.target.back();
  bool temp = !name.empty() && name[0] == '#';
  if (name.size() > 128) {
    throw MakeError(103, 15, 4,
                    "The identifier that starts with '" + name.substr(0, 128) +
                        "' is too long. Maximum length is 128.");
  }
  std::vector<ColumnInfo> cols;
  std::vector<std::string> pk;
  Catalog& catalog = TargetCatalog(s.target);
  std::string ddl = "CREATE TABLE " + (temp ? std::string("temp") : SchemaSql(catalog.schema())) +
                    "." + QuoteIdent(name) + " (";
  int identities = 0;
  Frame empty;
  Frame* saved = frame_;
  frame_ = &empty;
  struct Restore {
    Session* s;
    Frame* f;
    ~Restore() { s->frame_ = f; }
  } restore{this, saved};
  for (size_t i = 0; i < s.column_defs.size(); ++i) {
    const ast::ColumnDef& d = s.column_defs[i];
    for (const ColumnInfo& c : cols) {
      if (LowerName(c.name) == LowerName(d.name)) {
        throw MakeError(2705, 16, 3,
                        "Column names in each table must be unique. Column name '" + d.name +
                            "' in table '" + name + "' is specified more than once.");
      }
    }
    ColumnInfo c;
    c.name = d.name;
    c.type = d.type.info;
    c.identity = d.identity;
    c.seed = d.seed;
    c.increment = d.increment;
    c.nullable = !d.not_null && !d.identity && !d.primary_key;
    c.key = d.primary_key;
    if (d.identity) {
      ++identities;
      if (!sql::IsIntegerType(c.type.type) &&
          !(sql::StorageOf(c.type.type) == sql::Storage::kScaled && c.type.scale == 0)) {
        throw MakeError(2749, 16, 2,
                        "Identity column '" + d.name +
                            "' must be of data type int, bigint, smallint, tinyint, or decimal "
                            "or numeric with a scale of 0, and constrained to be nonnullable.");
      }
      if (c.increment == 0) throw MakeError(2747, 16, 1, "Identity increment cannot be 0.");
    }
    if (d.default_value) {
      Translator tr(*this);
      c.default_sql = tr.DefaultSql(*d.default_value, c.type);
    }
    if (d.primary_key) pk.push_back(d.name);
    ddl += (i ? ", " : "") + QuoteIdent(d.name) + " " + Translator::StorageDecl(c.type);
    if (!c.nullable) ddl += " NOT NULL";
    if (d.unique) ddl += " UNIQUE";
    if (!c.default_sql.empty()) ddl += " DEFAULT (" + c.default_sql + ")";
    cols.push_back(std::move(c));
  }
  if (identities > 1) {
    throw MakeError(2744, 16, 2,
                    "Multiple identity columns specified for table '" + name +
                        "'. Only one identity column per table is allowed.");
  }
  for (const ast::TableConstraint& tc : s.constraints) {
    std::string list;
    for (const std::string& c : tc.columns) {
      int k = -1;
      for (size_t i = 0; i < cols.size(); ++i) {
        if (LowerName(cols[i].name) == LowerName(c)) k = static_cast<int>(i);
      }
      if (k < 0) {
        throw MakeError(1911, 16, 1,
                        "Column name '" + c + "' does not exist in the target table or view.");
      }
      if (tc.primary_key) {
        cols[static_cast<size_t>(k)].key = true;
        cols[static_cast<size_t>(k)].nullable = false;
      }
      list += (list.empty() ? "" : ", ") + QuoteIdent(cols[static_cast<size_t>(k)].name);
    }
    if (tc.primary_key) {
      if (!pk.empty()) {
        throw MakeError(8110, 16, 0,
                        "Cannot add multiple PRIMARY KEY constraints to table '" + name + "'.");
      }
      pk = tc.columns;
      ddl += ", PRIMARY KEY (" + list + ")";
    } else {
      ddl += ", UNIQUE (" + list + ")";
    }
  }
  if (pk.size() == 1 && s.constraints.empty()) {
    // A column-level PRIMARY KEY.
    ddl += ", PRIMARY KEY (" + QuoteIdent(pk[0]) + ")";
  } else if (pk.size() > 1 && s.constraints.empty()) {
    throw MakeError(8110, 16, 0,
                    "Cannot add multiple PRIMARY KEY constraints to table '" + name + "'.");
  }
  // Key columns are NOT NULL even where the declaration did not say so.
  ddl += ")";
  if (!pk.empty()) {
    std::string fixed;
    for (ColumnInfo& c : cols) {
      if (c.key) c.nullable = false;
    }
  }
  Atomically([&] {
    int64_t id = catalog.AddObject(name, "U", temp);
    ExecSql(db_, ddl);
    catalog.AddColumns(id, temp, cols);
    std::lock_guard<std::mutex> lock(shared_->identity_mutex);
    shared_->identities.erase(IdentityKey(id, temp ? "temp" : catalog.schema()));
  });
  SchemaChanged();
}

void Session::ExecAlterTable(const ast::Statement& s, Ctx& ctx) {
  auto table = Table(s.target);
  if (!table || table->kind != 'U') throw InvalidObject(s.target.back());
  bool temp = table->schema == "temp";
  std::vector<ColumnInfo> cols = table->columns;
  Atomically([&] {
    if (s.kind == ast::StmtKind::kAlterTableAdd) {
      for (const ast::ColumnDef& d : s.column_defs) {
        if (table->Find(d.name)) {
          throw MakeError(2705, 16, 4,
                          "Column names in each table must be unique. Column name '" + d.name +
                              "' in table '" + table->name + "' is specified more than once.");
        }
        if (d.identity || d.primary_key || d.unique) {
          throw NotSupported("ALTER TABLE ADD of an IDENTITY, PRIMARY KEY or UNIQUE column");
        }
        ColumnInfo c;
        c.name = d.name;
        c.type = d.type.info;
        c.nullable = !d.not_null;
        if (d.default_value) {
          Frame empty;
          Frame* saved = frame_;
          frame_ = &empty;
          try {
            Translator tr(*this);
            c.default_sql = tr.DefaultSql(*d.default_value, c.type);
          } catch (...) {
            frame_ = saved;
            throw;
          }
          frame_ = saved;
        }
        if (!c.nullable && c.default_sql.empty()) {
          Stmt any(db_, "SELECT 1 FROM " + table->SqlName() + " LIMIT 1");
          if (any.Step()) {
            throw MakeError(4901, 16, 1,
                            "ALTER TABLE only allows columns to be added that can contain nulls, "
                            "or have a DEFAULT definition specified, or the column being added is "
                            "an identity or timestamp column, or alternatively if none of the "
                            "previous conditions are satisfied the table must be empty to allow "
                            "addition of this column. Column '" +
                                d.name + "' cannot be added to non-empty table '" + table->name +
                                "' because it does not satisfy these conditions.");
          }
        }
        std::string ddl = "ALTER TABLE " + table->SqlName() + " ADD COLUMN " + QuoteIdent(c.name) +
                          " " + Translator::StorageDecl(c.type);
        if (!c.default_sql.empty()) ddl += " DEFAULT (" + c.default_sql + ")";
        if (!c.nullable) {
          ddl += " NOT NULL";
          if (c.default_sql.empty()) ddl += " DEFAULT NULL";
        }
        if (!c.nullable && c.default_sql.empty()) {
          // SQLite wants a default for NOT NULL columns it adds; the table
          // is empty, so rebuild it instead.
          throw NotSupported("ALTER TABLE ADD of a NOT NULL column without a DEFAULT");
        }
        ExecSql(db_, ddl);
        cols.push_back(c);
      }
    } else {
      for (const std::string& name : s.drop_columns) {
        int k = -1;
        for (size_t i = 0; i < cols.size(); ++i) {
          if (LowerName(cols[i].name) == LowerName(name)) k = static_cast<int>(i);
        }
        if (k < 0) {
          throw MakeError(4924, 16, 1,
                          "ALTER TABLE DROP COLUMN failed because column '" + name +
                              "' does not exist in table '" + table->name + "'.");
        }
        ExecSql(db_, "ALTER TABLE " + table->SqlName() + " DROP COLUMN " +
                         QuoteIdent(cols[static_cast<size_t>(k)].name));
        cols.erase(cols.begin() + k);
      }
    }
    CatalogOfSchema(table->schema).SetColumns(table->id, temp, cols);
  });
  SchemaChanged();
}

void Session::ExecDrop(const ast::Statement& s, Ctx& ctx) {
  using K = ast::StmtKind;
  for (const auto& target : s.drop_targets) {
    if (s.kind == K::kDropIndex) {
      if (target.size() < 2) {
        throw MakeError(159, 15, 1,
                        "Must specify the table name and index name for the DROP INDEX "
                        "statement.");
      }
      auto table = Table({target[target.size() - 2]});
      if (!table) throw InvalidObject(target[target.size() - 2]);
      std::string index = table->name + "$" + target.back();
      std::string sql = "DROP INDEX " + std::string(s.if_exists ? "IF EXISTS " : "") +
                        SchemaSql(table->schema) + "." + QuoteIdent(index);
      try {
        ExecSql(db_, sql);
      } catch (const EngineError&) {
        throw MakeError(3701, 11, 7,
                        "Cannot drop the index '" + table->name + "." + target.back() +
                            "', because it does not exist or you do not have permission.");
      }
      SchemaChanged();
      continue;
    }
    std::string name = target.back();
    int group = 1;
    if (s.kind == K::kDropProc) name = StripGroup(name, &group);
    // Only dbo owns objects: another owner's does not exist.
    std::string owner = target.size() >= 2 ? LowerName(target[target.size() - 2]) : "";
    bool known_owner = owner.empty() || owner == "dbo";
    Catalog& catalog = known_owner ? TargetCatalog(target) : *catalog_;
    std::optional<ObjectInfo> object;
    if (known_owner) object = catalog.FindObject(name);
    const char* what = s.kind == K::kDropTable  ? "table"
                       : s.kind == K::kDropView ? "view"
                                                : "procedure";
    const char* type = s.kind == K::kDropTable ? "U" : s.kind == K::kDropView ? "V" : "P";
    if (!object || object->type != type) {
      if (s.if_exists) continue;
      throw MakeError(3701, 11, 5,
                      std::string("Cannot drop the ") + what + " '" + name +
                          "', because it does not exist or you do not have permission.");
    }
    Atomically([&] {
      if (s.kind == K::kDropTable) {
        ExecSql(db_, "DROP TABLE " + SchemaSql(object->schema) + "." + QuoteIdent(object->name));
      } else if (s.kind == K::kDropView) {
        ExecSql(db_, "DROP VIEW " + SchemaSql(object->schema) + "." + QuoteIdent(object->name));
      }
      catalog.DropObject(*object);
    });
    {
      std::lock_guard<std::mutex> lock(shared_->identity_mutex);
      shared_->identities.erase(IdentityKey(object->id, object->schema));
    }
    proc_cache_.clear();
    SchemaChanged();
  }
}

namespace {

// CREATE VIEW and CREATE PROCEDURE make objects of the current database only.
void CheckNoDatabasePrefix(const std::vector<std::string>& target, const char* what) {
  if (target.size() >= 3 && !target[target.size() - 3].empty()) {
    throw MakeError(166, 15, 1,
                    std::string("'") + what +
                        "' does not allow specifying the database name as a prefix to the "
                        "object name.");
  }
}

}  // namespace

void Session::ExecCreateView(const ast::Statement& s, Ctx& ctx) {
  const std::string& name = s.target.back();
  if (!name.empty() && name[0] == '#') throw NotSupported("temporary views");
  CheckNoDatabasePrefix(s.target, "CREATE/ALTER VIEW");
  Catalog& catalog = TargetCatalog(s.target);
  std::string schema = SchemaSql(catalog.schema());
  Frame empty;
  Frame* saved = frame_;
  frame_ = &empty;
  Translation t;
  try {
    // Stored unqualified: the view resolves in its own file wherever that
    // file is attached.
    Translator tr(*this, catalog.schema());
    t = tr.Query(*s.select);
  } catch (...) {
    frame_ = saved;
    throw;
  }
  frame_ = saved;
  if (!t.params.empty() || !t.assign_vars.empty()) {
    throw MakeError(4513, 16, 1, "A view cannot use variables.");
  }
  if (!s.columns.empty() && s.columns.size() != t.columns.size()) {
    throw MakeError(8159, 16, 1,
                    "'" + name + "' has fewer columns than were specified in the column list.");
  }
  std::vector<ColumnInfo> cols;
  std::string list;
  for (size_t i = 0; i < t.columns.size(); ++i) {
    ColumnInfo c;
    c.name = s.columns.empty() ? t.columns[i].name : s.columns[i];
    if (c.name.empty()) {
      throw MakeError(4511, 16, 1,
                      "Create View or Function failed because no column name was specified for "
                      "column " +
                          std::to_string(i + 1) + ".");
    }
    c.type = t.columns[i].type;
    c.nullable = t.columns[i].nullable;
    cols.push_back(c);
    list += (i ? ", " : "") + QuoteIdent(c.name);
  }
  Atomically([&] {
    if (s.is_alter) {
      auto old = catalog.FindObject(name);
      if (!old || old->type != "V") throw InvalidObject(name);
      ExecSql(db_, "DROP VIEW " + schema + "." + QuoteIdent(old->name));
      catalog.DropObject(*old);
    }
    int64_t id = catalog.AddObject(name, "V", false);
    ExecSql(db_, "CREATE VIEW " + schema + "." + QuoteIdent(name) + " (" + list + ") AS " + t.sql);
    catalog.AddColumns(id, false, cols);
  });
  SchemaChanged();
}

void Session::ExecCreateProc(const ast::Statement& s, Ctx& ctx) {
  const std::string& name = s.target.back();
  if (!name.empty() && name[0] == '#') throw NotSupported("temporary procedures");
  CheckNoDatabasePrefix(s.target, "CREATE/ALTER PROCEDURE");
  Catalog& catalog = TargetCatalog(s.target);
  Atomically([&] {
    auto object = catalog.FindObject(name);
    if (s.is_alter) {
      if (!object || object->type != "P") {
        throw MakeError(208, 16, 1, "Invalid object name '" + name + "'.");
      }
      catalog.SaveProc(object->id, s.group_number, s.body_text, true);
      return;
    }
    if (object) {
      if (object->type != "P" || s.group_number == 1 || catalog.FindProc(name, s.group_number)) {
        throw MakeError(2714, 16, 3,
                        "There is already an object named '" + name + "' in the database.");
      }
      catalog.SaveProc(object->id, s.group_number, s.body_text, false);
      return;
    }
    int64_t id = catalog.AddObject(name, "P", false);
    catalog.SaveProc(id, s.group_number, s.body_text, false);
  });
  proc_cache_.clear();
  SchemaChanged();
}

void Session::ExecCreateIndex(const ast::Statement& s, Ctx& ctx) {
  auto table = Table(s.target);
  if (!table || table->kind != 'U') throw InvalidObject(s.target.back());
  std::string list;
  for (const std::string& c : s.columns) {
    const ColumnInfo* ci = table->Find(c);
    if (!ci) {
      throw MakeError(1911, 16, 1,
                      "Column name '" + c + "' does not exist in the target table or view.");
    }
    list += (list.empty() ? "" : ", ") + QuoteIdent(ci->name);
  }
  std::string index = table->name + "$" + s.index_name;
  {
    Stmt q(db_, "SELECT 1 FROM " + SchemaSql(table->schema) +
                    ".sqlite_master WHERE type = 'index' AND name = ?1 COLLATE NOCASE");
    q.Bind(1, index);
    if (q.Step()) {
      throw MakeError(1913, 16, 1,
                      "The operation failed because an index or statistics with name '" +
                          s.index_name + "' already exists on table '" + table->name + "'.");
    }
  }
  std::string sql = std::string("CREATE ") + (s.unique ? "UNIQUE " : "") + "INDEX " +
                    SchemaSql(table->schema) + "." + QuoteIdent(index) + " ON " +
                    QuoteIdent(table->name) + " (" + list + ")";
  try {
    ExecSql(db_, sql);
  } catch (const EngineError& e) {
    if (e.number() == 2627) {
      throw MakeError(1505, 16, 1,
                      "The CREATE UNIQUE INDEX statement terminated because a duplicate key was "
                      "found for the object name 'dbo." +
                          table->name + "'.");
    }
    throw;
  }
  SchemaChanged();
}

// ---- transactions -----------------------------------------------------------

void Session::ExecTransaction(const ast::Statement& s, Ctx& ctx) {
  using K = ast::StmtKind;
  switch (s.kind) {
    case K::kBeginTran:
      if (trancount_ == 0) ExecSql(db_, "BEGIN IMMEDIATE");
      ++trancount_;
      return;
    case K::kCommit:
      if (trancount_ == 0) {
        throw MakeError(3902, 16, 1,
                        "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
      }
      if (trancount_ == 1) ExecSql(db_, "COMMIT");
      --trancount_;
      return;
    case K::kRollback:
      if (!s.tran_name.empty() && trancount_ > 0) {
        // A savepoint of this transaction, or the transaction's own name.
        std::string sp = "tb_save_" + LowerName(s.tran_name);
        if (sqlite3_exec(db_, ("ROLLBACK TO " + QuoteIdent(sp)).c_str(), nullptr, nullptr,
                         nullptr) == SQLITE_OK) {
          SchemaChanged();
          return;
        }
      }
      if (trancount_ == 0) {
        throw MakeError(3903, 16, 1,
                        "The ROLLBACK TRANSACTION request has no corresponding BEGIN "
                        "TRANSACTION.");
      }
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      trancount_ = 0;
      // DDL of the transaction is undone too: forget what was read.
      SchemaChanged();
      return;
    case K::kSaveTran:
      if (trancount_ == 0) {
        throw MakeError(628, 16, 0,
                        "Cannot issue SAVE TRANSACTION when there is no active transaction.");
      }
      ExecSql(db_, "SAVEPOINT " + QuoteIdent("tb_save_" + LowerName(s.tran_name)));
      return;
    default:
      return;
  }
}

// ---- procedures ---------------------------------------------------------------

std::shared_ptr<ParsedBatch> Session::ParseProc(const std::vector<std::string>& name_parts,
                                                std::string* display, Attached** where) {
  int group = 1;
  std::string name = StripGroup(name_parts.back(), &group);
  size_t n = name_parts.size();
  if (n >= 4 && !name_parts[n - 4].empty()) {
    throw NotSupported("a linked server (" + name_parts[n - 4] + ")");
  }
  std::string full;
  for (size_t i = 0; i < n; ++i) full += (i ? "." : "") + name_parts[i];
  if (n >= 2 && !name_parts[n - 2].empty() && LowerName(name_parts[n - 2]) != "dbo") {
    throw ProcNotFound(full);  // only dbo owns procedures here
  }
  Catalog& catalog =
      DatabaseCatalog(n >= 3 ? std::string_view(name_parts[n - 3]) : std::string_view());
  *where = nullptr;
  std::string key = LowerName(name) + ";" + std::to_string(group);
  if (&catalog != catalog_.get()) {
    for (auto& a : attached_) {
      if (a->catalog.get() == &catalog) *where = a.get();
    }
    key = catalog.schema() + "|" + key;
  }
  auto it = proc_cache_.find(key);
  if (it != proc_cache_.end()) {
    *display = it->second->display;
    return it->second;
  }
  auto proc = catalog.FindProc(name, group);
  if (!proc) throw ProcNotFound(full);
  *display = proc->name;
  auto parsed = std::make_shared<ParsedBatch>();
  parsed->display = proc->name;
  parsed->batch = parser::ParseBatch(proc->text);
  if (parsed->batch.statements.empty() ||
      parsed->batch.statements[0]->kind != ast::StmtKind::kCreateProc) {
    throw MakeError(40518, 16, 1, "The stored text of procedure '" + proc->name + "' is damaged.");
  }
  proc_cache_[key] = parsed;
  return parsed;
}

int Session::RunProcedure(const std::vector<std::string>& name, std::vector<ArgValue>& args,
                          ResultSink& sink, std::vector<Value>* outputs) {
  if (!name.empty() && server::IsSystemProcedure(name.back())) {
    std::vector<std::pair<std::string, Value>> values;
    for (const ArgValue& a : args) values.emplace_back(a.name, a.value);
    return server::RunSystemProcedure(*this, name.back(), values, sink);
  }
  if (!name.empty() && NameEquals(name.back(), "sp_executesql")) {
    return RunExecuteSql(args, sink, outputs);
  }
  std::string display;
  Attached* where = nullptr;
  auto parsed = ParseProc(name, &display, &where);
  if (where == context_) {
    return RunProcedureAst(*parsed->batch.statements[0], *parsed, display, args, sink, outputs);
  }
  // A procedure runs in the database it belongs to, as SQL Server runs it.
  struct Context {
    Session* s;
    Attached* saved;
    ~Context() {
      s->context_ = saved;
      --s->foreign_contexts_;
    }
  } restore{this, context_};
  ++foreign_contexts_;
  context_ = where;
  return RunProcedureAst(*parsed->batch.statements[0], *parsed, display, args, sink, outputs);
}

// sp_executesql @statement, @params, args...: the statement runs as the body
// of a procedure declared with @params, so its arguments bind as a
// procedure's do (by position or by name, OUTPUT included), whether it comes
// from an EXEC in a batch or from a client's procedure call.
int Session::RunExecuteSql(std::vector<ArgValue>& args, ResultSink& sink,
                           std::vector<Value>* outputs) {
  if (args.empty()) {
    throw MakeError(201, 16, 4,
                    "Procedure or function 'sp_executesql' expects parameter '@statement', "
                    "which was not supplied.");
  }
  std::string stmt = TextOfValue(args[0].value);
  std::string decl = args.size() > 1 ? TextOfValue(args[1].value) : "";
  std::string text = "CREATE PROCEDURE sp_executesql " + decl + " AS\n" + stmt;
  ParsedBatch& parsed = Parse(text);
  std::vector<ArgValue> rest(args.begin() + std::min<size_t>(2, args.size()), args.end());
  std::vector<Value> outs;
  int status = RunProcedureAst(*parsed.batch.statements[0], parsed, "", rest, sink, &outs);
  if (outputs) {
    outputs->assign(args.size(), Value{});
    for (size_t i = 0; i < outs.size() && i + 2 < args.size(); ++i) (*outputs)[i + 2] = outs[i];
  }
  return status;
}

int Session::RunProcedureAst(const ast::Statement& create, ParsedBatch& parsed,
                             const std::string& name, std::vector<ArgValue>& args, ResultSink& sink,
                             std::vector<Value>* outputs) {
  if (depth_ >= kMaxNesting) {
    throw MakeError(217, 16, 1,
                    "Maximum stored procedure, function, trigger, or view nesting level exceeded "
                    "(limit 32).");
  }
  Frame frame;
  frame.proc = name;
  const size_t nparams = create.params.size();
  if (parsed.param_keys.size() != nparams) {
    parsed.param_keys.clear();
    for (const ast::ProcParam& p : create.params) parsed.param_keys.push_back(LowerName(p.name));
  }
  std::vector<int> param_of_arg(args.size(), -1);
  bool named_seen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    int k = -1;
    if (!args[i].name.empty()) {
      named_seen = true;
      for (size_t p = 0; p < nparams; ++p) {
        if (NameEquals(create.params[p].name, args[i].name)) k = static_cast<int>(p);
      }
      if (k < 0) {
        throw MakeError(8145, 16, 2,
                        args[i].name + " is not a parameter for procedure " + name + ".");
      }
    } else {
      if (named_seen) {
        throw MakeError(119, 15, 1,
                        "Must pass parameter number " + std::to_string(i + 1) +
                            " and subsequent parameters as '@name = value'. After the form "
                            "'@name = value' has been used, all subsequent parameters must be "
                            "passed in the form '@name = value'.");
      }
      if (i >= nparams) {
        throw MakeError(8144, 16, 2,
                        "Procedure or function " + name + " has too many arguments specified.");
      }
      k = static_cast<int>(i);
    }
    param_of_arg[i] = k;
  }
  // Parameters: given values converted to the declared types, else defaults.
  Frame* saved = frame_;
  frame_ = &frame;
  struct Restore {
    Session* s;
    Frame* f;
    ~Restore() { s->frame_ = f; }
  } restore{this, saved};
  Ctx ctx{&parsed, &sink, &frame};
  struct Slot {
    Var* var = nullptr;  // stable: elements of an unordered_map do not move
    bool given = false;
  };
  std::vector<Slot> slots(nparams);
  for (size_t p = 0; p < nparams; ++p) {
    Var& v = frame.vars[parsed.param_keys[p]];
    v = Var{};
    v.type = create.params[p].type.info;
    slots[p].var = &v;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    int k = param_of_arg[i];
    if (args[i].use_default) continue;
    Slot& slot = slots[static_cast<size_t>(k)];
    slot.given = true;
    slot.var->value = ConvertValue(args[i].value, args[i].type, slot.var->type);
  }
  for (size_t p = 0; p < nparams; ++p) {
    if (slots[p].given) continue;
    const ast::ProcParam& param = create.params[p];
    if (!param.default_value) {
      throw MakeError(201, 16, 4,
                      "Procedure or function '" + name + "' expects parameter '" + param.name +
                          "', which was not supplied.");
    }
    Var& v = *slots[p].var;
    v.value = EvalScalar(ctx, *param.default_value, &v.type, nullptr);
  }
  ++depth_;
  struct Depth {
    int* d;
    ~Depth() { --*d; }
  } depth{&depth_};
  try {
    ExecList(create.body, ctx);
  } catch (const BatchAbort& a) {
    if (!a.scope_only) throw;
    keep_error_ = true;  // @@ERROR after the EXEC shows the failure
    return frame.return_status;
  }
  if (outputs) {
    outputs->assign(args.size(), Value{});
    for (size_t i = 0; i < args.size(); ++i) {
      int k = param_of_arg[i];
      if (!args[i].output || !create.params[static_cast<size_t>(k)].output) continue;
      const Var& v = *slots[static_cast<size_t>(k)].var;
      (*outputs)[i] = args[i].typed ? ConvertValue(v.value, v.type, args[i].type) : v.value;
    }
  }
  return frame.return_status;
}

void Session::ExecExec(const ast::Statement& s, Ctx& ctx) {
  std::vector<std::string> name = s.proc;
  if (s.proc_var) {
    Value v = EvalScalar(ctx, *s.proc_var, nullptr, nullptr);
    name = {TextOfValue(v)};
  }
  std::vector<ArgValue> args;
  std::vector<const ast::ExecArg*> sources;
  for (const ast::ExecArg& a : s.exec_args) {
    ArgValue v;
    v.name = a.name;
    v.output = a.output;
    v.use_default = a.is_default;
    if (!a.is_default) {
      if (a.output && a.value->kind != ast::ExprKind::kVariable) {
        throw MakeError(179, 15, 1,
                        "Cannot use the OUTPUT option when passing a constant to a stored "
                        "procedure.");
      }
      v.value = EvalScalar(ctx, *a.value, nullptr, &v.type);
    }
    args.push_back(std::move(v));
    sources.push_back(&a);
  }
  std::vector<Value> outputs;
  int status = RunProcedure(name, args, *ctx.sink, &outputs);
  for (size_t i = 0; i < args.size(); ++i) {
    if (!args[i].output) continue;
    Var* v = FindVar(ctx, sources[i]->value->text);
    if (v) v->value = ConvertValue(outputs[i], args[i].type, v->type);
  }
  if (!s.return_var.empty()) {
    Var* v = FindVar(ctx, s.return_var);
    if (!v) throw MustDeclare(s.return_var);
    v->value = ConvertValue(static_cast<int64_t>(status), sql::IntType(), v->type);
  }
}

void Session::ExecExecString(const ast::Statement& s, Ctx& ctx) {
  Value v = EvalScalar(ctx, *s.value, nullptr, nullptr);
  std::string text = TextOfValue(v);
  ParsedBatch& parsed = Parse(text);
  Frame frame;
  frame.proc = ctx.frame->proc;
  Frame* saved = frame_;
  frame_ = &frame;
  struct Restore {
    Session* s;
    Frame* f;
    ~Restore() { s->frame_ = f; }
  } restore{this, saved};
  Ctx inner{&parsed, ctx.sink, &frame};
  ++depth_;
  struct Depth {
    int* d;
    ~Depth() { --*d; }
  } depth{&depth_};
  try {
    ExecList(parsed.batch.statements, inner);
  } catch (const BatchAbort& a) {
    if (!a.scope_only) throw;
    keep_error_ = true;
  }
}

CallResult Session::CallProcedure(std::string_view name, const std::vector<ProcArgument>& args,
                                  ResultSink& sink) {
  CallScope call(*this);
  CallResult result;
  std::vector<ArgValue> values;
  values.reserve(args.size());
  for (const ProcArgument& a : args) {
    ArgValue v;
    v.name = a.name;
    if (!v.name.empty() && v.name[0] != '@') v.name = "@" + v.name;
    v.value = a.value;
    v.type = a.type ? *a.type : NaturalType(a.value);
    v.typed = a.type.has_value();
    v.output = a.output;
    v.use_default = a.use_default;
    values.push_back(std::move(v));
  }
  // The name as a statement would give it: db.schema.name;n
  std::vector<std::string> parts;
  std::string cur;
  bool bracket = false;
  for (char c : name) {
    if (c == '[') {
      bracket = true;
    } else if (c == ']') {
      bracket = false;
    } else if (c == '.' && !bracket) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  Frame top;
  Frame* saved = frame_;
  frame_ = &top;
  try {
    std::vector<Value> outputs;
    int status = RunProcedure(parts, values, sink, &outputs);
    result.return_status = status;
    result.outputs = std::move(outputs);
    result.outputs.resize(args.size());
  } catch (const EngineError& e) {
    // The call's failure is reported as that of an EXEC statement.
    ParsedBatch none;
    Ctx ctx{&none, &sink, &top};
    ast::Statement call;
    call.kind = ast::StmtKind::kExec;
    call.line = 1;
    try {
      OnError(e, call, ctx);
    } catch (const BatchAbort&) {
    } catch (const TryJump&) {
    }
  } catch (const BatchAbort&) {
  } catch (const TryJump& j) {
    sink.OnMessage(j.message);
  }
  frame_ = saved;
  ReleaseAttached();
  if (result.outputs.size() != args.size()) result.outputs.assign(args.size(), Value{});
  return result;
}

std::vector<ProcParamInfo> Session::DescribeProcedure(std::string_view name) {
  CheckVersion();
  std::vector<std::string> parts;
  std::string cur;
  for (char c : name) {
    if (c == '.') {
      parts.push_back(cur);
      cur.clear();
    } else if (c != '[' && c != ']') {
      cur += c;
    }
  }
  parts.push_back(cur);
  // A call runs these whatever database part the name carries, so the
  // description does too.
  if (auto system = server::DescribeSystemProcedure(parts.back())) return *system;
  std::string display;
  Attached* where = nullptr;
  auto parsed = ParseProc(parts, &display, &where);
  const ast::Statement& create = *parsed->batch.statements[0];
  std::vector<ProcParamInfo> out;
  ProcParamInfo ret;
  ret.name = "@RETURN_VALUE";
  ret.type = sql::IntType();
  ret.direction = ParamDirection::kReturnValue;
  out.push_back(ret);
  for (const ast::ProcParam& p : create.params) {
    ProcParamInfo i;
    i.name = p.name;
    i.type = p.type.info;
    i.direction = p.output ? ParamDirection::kInputOutput : ParamDirection::kInput;
    i.has_default = p.default_value != nullptr;
    out.push_back(i);
  }
  ReleaseAttached();
  return out;
}

}  // namespace tillbase::engine::core

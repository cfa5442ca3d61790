// One connection's state and the interpreter of T-SQL control flow: batches,
// variables, procedures, transactions and errors. Queries and DML go
// through the translator to SQLite; everything else runs here.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/core/catalog.h"
#include "engine/core/sqlite_util.h"
#include "engine/core/translator.h"
#include "engine/engine.h"
#include "engine/parser/ast.h"
#include "engine/sql/functions.h"

namespace tillbase::engine::server {
class Server;
class Access;
}  // namespace tillbase::engine::server

namespace tillbase::engine::core {

// State all connections of an engine share.
struct EngineShared {
  std::shared_ptr<server::Server> server;  // databases, logins, sessions
  std::string data_dir;
  std::string server_name;
  std::string sa_password;
  std::atomic<uint64_t> schema_version{1};
  std::atomic<int> next_spid{51};
  std::mutex identity_mutex;
  struct Identity {
    int64_t last = 0;
    bool used = false;  // `last` holds a value given out (else the seed comes next)
    int64_t seed = 1, increment = 1;
  };
  std::map<std::string, Identity> identities;  // "<db path>|<object id>"

  std::string DatabasePath(std::string_view name) const;
};

// A parsed batch with the translations of its statements, prepared once.
struct Prepared {
  Translation t;
  Stmt stmt;
  uint64_t version = 0;
  std::vector<std::string> databases;  // other databases the statement reads or writes
};
struct ParsedBatch {
  ast::Batch batch;
  std::string display;  // a procedure's name as created
  std::map<std::pair<const void*, int>, std::unique_ptr<Prepared>> prepared;
  // A procedure's parameter names in lower case (its frame's variable
  // keys), filled on its first call.
  std::vector<std::string> param_keys;
};

struct Var {
  TypeInfo type;
  Value value;
};

class Session : public TranslateEnv {
 public:
  Session(std::shared_ptr<EngineShared> shared, const ConnectOptions& options);
  ~Session() override;

  bool ExecuteBatch(std::string_view sql, ResultSink& sink);
  CallResult CallProcedure(std::string_view name, const std::vector<ProcArgument>& args,
                           ResultSink& sink);
  std::vector<ProcParamInfo> DescribeProcedure(std::string_view name);
  void Cancel();
  void SetCommandTimeout(int seconds) { timeout_seconds_ = seconds; }
  std::string CurrentDatabase() const { return database_; }
  int Spid() const { return spid_; }
  int TransactionCount() const { return trancount_; }
  uint64_t CatalogVersion() const { return shared_->schema_version.load(); }

  // TranslateEnv
  std::optional<TypeInfo> VariableType(std::string_view name) override;
  std::shared_ptr<const TableInfo> Table(const std::vector<std::string>& parts) override;
  bool IdentityInsert(const TableInfo& table) override;
  std::string DatabaseSchema(std::string_view database) override;

  // Whether the running statement is to stop (cancelled, timed out); SQLite's
  // progress handler asks.
  bool ShouldInterrupt();

  // Called by the identity function while a statement runs.
  int64_t NextIdentity(int64_t object_id, std::string_view schema);

 private:
  friend class server::Access;
  struct Frame {
    std::unordered_map<std::string, Var> vars;  // lower-case names
    std::string proc;
    Value scope_identity;
    int return_status = 0;
  };
  enum class Flow { kNext, kBreak, kContinue, kReturn };
  struct Ctx {
    ParsedBatch* parsed;
    ResultSink* sink;
    Frame* frame;
  };
  struct ArgValue {
    std::string name;
    Value value;
    TypeInfo type;
    bool output = false;
    bool use_default = false;
    bool typed = true;  // false: an output comes back in the parameter's own type
  };

  // Another database attached to this connection's storage.
  struct Attached {
    std::string name;   // as registered
    std::string alias;  // its SQLite schema
    std::string path;
    std::unique_ptr<Catalog> catalog;
    bool live = false;  // attached now (else only its catalogue is kept)
  };

  // Opens a database as the connection's storage (at connect and on USE).
  void OpenDatabase(const std::string& name);
  // Settings, functions and catalogue tables of a new handle.
  void PrepareHandle(sqlite3* db);
  void CloseDatabase();

  // Names in other databases (session_names.cpp). The context is the
  // database unqualified names resolve in: the current one, or the one of a
  // procedure run with `EXEC db..p`.
  Catalog& ContextCatalog() { return context_ ? *context_->catalog : *catalog_; }
  const std::string& ContextDatabase() const { return context_ ? context_->name : database_; }
  // The catalogue of a database named in a statement (empty: the context),
  // attaching it when needed; 911 when there is no such database.
  Catalog& DatabaseCatalog(std::string_view database);
  // The catalogue that holds objects of an SQLite schema.
  Catalog& CatalogOfSchema(std::string_view schema);
  // The catalogue a DDL statement's target name belongs to.
  Catalog& TargetCatalog(const std::vector<std::string>& parts);
  Attached& Attach(std::string_view database);
  // Makes sure the databases a cached statement uses are attached.
  void Reattach(const std::vector<std::string>& databases);
  // At the end of a call: detaches every other database when no
  // transaction holds it, so that between calls only the current database
  // counts as in use.
  void ReleaseAttached() {
    if (live_attached_ > 0) DetachAll();
  }
  void DetachAll();
  // The storage is about to close: the server no longer counts the
  // attached databases as used by this session.
  void ForgetAttached();
  void UpgradeViewsOfFile(const std::string& path);
  void InvalidateCatalogs();
  void CheckVersion();
  void CheckCancel();

  // The parsed form of a batch, from the cache. It stays valid until the
  // outermost call of the session ends, even when the cache is dropped
  // meanwhile (USE, a full cache): dropped batches are retired until then.
  ParsedBatch& Parse(std::string_view sql);
  void DropBatchCache();

  // Brackets a call from the client (batch or procedure): resets the
  // cancel state, starts the time-out, and frees retired batches at the end.
  class CallScope {
   public:
    explicit CallScope(Session& s);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

   private:
    Session& s_;
  };
  bool RunBatch(ParsedBatch& parsed, ResultSink& sink, Frame& frame);
  Flow ExecList(const std::vector<ast::StmtPtr>& list, Ctx& ctx);
  Flow Exec(const ast::Statement& s, Ctx& ctx);
  void OnError(const EngineError& e, const ast::Statement& s, Ctx& ctx);

  // Translations, cached per node of the batch.
  template <typename F>
  Prepared& Prepare(Ctx& ctx, const void* node, int tag, F translate);
  void Bind(Prepared& p, Ctx& ctx);
  Value EvalScalar(Ctx& ctx, const ast::Expr& e, const TypeInfo* target, TypeInfo* type_out);
  bool EvalCondition(Ctx& ctx, const ast::Expr& e);
  Value GlobalValue(const std::string& name, Ctx& ctx);
  Var* FindVar(Ctx& ctx, const std::string& name);

  void ExecQuery(const ast::Statement& s, Ctx& ctx);
  void ExecSelectInto(const ast::Statement& s, Ctx& ctx);
  void ExecDml(const ast::Statement& s, Ctx& ctx);
  void ExecDeclare(const ast::Statement& s, Ctx& ctx);
  void ExecSetOption(const ast::Statement& s, Ctx& ctx);
  void ExecRaiserror(const ast::Statement& s, Ctx& ctx);
  void ExecPrint(const ast::Statement& s, Ctx& ctx);
  void ExecExec(const ast::Statement& s, Ctx& ctx);
  void ExecExecString(const ast::Statement& s, Ctx& ctx);
  void ExecTransaction(const ast::Statement& s, Ctx& ctx);
  void ExecCreateTable(const ast::Statement& s, Ctx& ctx);
  void ExecAlterTable(const ast::Statement& s, Ctx& ctx);
  void ExecDrop(const ast::Statement& s, Ctx& ctx);
  void ExecCreateView(const ast::Statement& s, Ctx& ctx);
  void ExecCreateProc(const ast::Statement& s, Ctx& ctx);
  void ExecCreateIndex(const ast::Statement& s, Ctx& ctx);
  void ExecTruncate(const ast::Statement& s, Ctx& ctx);

  // Procedures.
  int RunProcedure(const std::vector<std::string>& name, std::vector<ArgValue>& args,
                   ResultSink& sink, std::vector<Value>* outputs);
  int RunExecuteSql(std::vector<ArgValue>& args, ResultSink& sink, std::vector<Value>* outputs);
  int RunProcedureAst(const ast::Statement& create, ParsedBatch& parsed, const std::string& name,
                      std::vector<ArgValue>& args, ResultSink& sink, std::vector<Value>* outputs);
  std::shared_ptr<ParsedBatch> ParseProc(const std::vector<std::string>& name, std::string* display,
                                         Attached** where);
  Value ConvertValue(const Value& v, const TypeInfo& from, const TypeInfo& to);

  // Runs `body` inside a savepoint so that a failure leaves nothing behind.
  template <typename F>
  void Atomically(F body);
  void SchemaChanged();
  void EnsureIdentity(const TableInfo& table);
  std::string IdentityKey(int64_t object_id, std::string_view schema) const;

  std::shared_ptr<EngineShared> shared_;
  ConnectOptions options_;
  sqlite3* db_ = nullptr;
  std::string database_;
  std::string db_path_;
  std::unique_ptr<Catalog> catalog_;
  std::vector<std::unique_ptr<Attached>> attached_;
  int live_attached_ = 0;
  Attached* context_ = nullptr;
  int foreign_contexts_ = 0;                     // procedures of other databases running
  std::vector<std::string>* touched_ = nullptr;  // while translating: other databases named
  sql::FunctionSettings settings_;
  int spid_ = 0;

  // Session state.
  Frame* frame_ = nullptr;  // the running frame
  int depth_ = 0;
  int trancount_ = 0;
  int try_depth_ = 0;
  int last_error_ = 0;
  bool keep_error_ = false;
  int64_t row_count_ = 0;
  Value identity_;                 // @@IDENTITY
  std::optional<Message> caught_;  // the error a CATCH block handles
  bool nocount_ = false;
  bool xact_abort_ = false;
  bool fmtonly_ = false;
  int textsize_ = 2147483647;
  int timeout_seconds_ = 0;
  std::atomic<bool> cancel_{false};
  bool timed_out_ = false;
  std::chrono::steady_clock::time_point deadline_{};
  uint64_t seen_version_ = 0;
  std::string identity_insert_;  // IdentityKey of the table with IDENTITY_INSERT ON

  // Parsed batches by their exact text. Lookups take the text as it comes
  // (no copy); the batch run last is checked first, since clients repeat
  // one statement in loops. last_batch_ points into batch_cache_ (stable
  // across rehashing) and is reset whenever the cache is cleared.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  using BatchCache =
      std::unordered_map<std::string, std::shared_ptr<ParsedBatch>, TextHash, std::equal_to<>>;
  BatchCache batch_cache_;
  BatchCache::value_type* last_batch_ = nullptr;
  int calls_ = 0;  // calls under way (CallScope)
  std::vector<std::shared_ptr<ParsedBatch>> retired_;
  std::map<std::string, std::shared_ptr<ParsedBatch>> proc_cache_;
};

}  // namespace tillbase::engine::core

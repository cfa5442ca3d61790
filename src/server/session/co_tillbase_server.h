// TCoTillbaseServer: the session object. It owns its connection cnnAdo and
// the data components every interface method works through; what a session
// is bound to is the state of cnnAdo. Used by one thread at a time (its own).
#pragma once

#include <mutex>
#include <string>

#include "db/connection.h"
#include "db/query.h"
#include "db/stored_proc.h"
#include "server/session/session_server.h"
#include "shared/variant.h"

namespace tillbase::session {

inline constexpr const char* kServerVersion = "KeppaPos1.1";
// ConnectDB with both arguments equal to this is a background job's own
// connection, not a client's.
inline constexpr const char* kInternalConnection = "256";

class TCoTillbaseServer {
 public:
  explicit TCoTillbaseServer(SessionServer& server);
  ~TCoTillbaseServer();
  TCoTillbaseServer(const TCoTillbaseServer&) = delete;
  TCoTillbaseServer& operator=(const TCoTillbaseServer&) = delete;

  // The methods of this part of the interface. Failures are exceptions
  // carrying the message; the call frame turns them into HRESULTs.
  bool ConnectDB(const std::string& szComputerName, const std::string& szIPAddress);
  // `nResult` is written as the method goes, so that a failure leaves false.
  void ChangeDB(const std::string& szDBName, bool& nResult);
  void NetConnect(const std::string& szGUID, int32_t& lsReturn);
  void DisConnect(const std::string& szGUID, const std::string& szComputerName,
                  const std::string& szIPAddress);
  void Refresh() {}
  void GetServerVersion(Variant& szReturn) { szReturn = Variant(kServerVersion); }
  void TransactionController(int32_t TransMode);
  std::string GetIPAddress();
  void KeepConnection();
  // A name that other machines can use in place of a local alias of the
  // database server.
  std::string ResolveServerName(const std::string& name);

  // Procedure and SQL execution. ExecuteProc and ExecuteSQL run within the
  // call; OpenProc, OpenSQL and SetQuerySQL only prepare a dataset whose rows
  // the client then asks a provider for.
  int32_t ExecuteProc(const std::string& szProcedureName, const Variant& vInputParams,
                      Variant& vOutParams);
  int32_t OpenProc(const std::string& szProcedureName, const Variant& vInputParams);
  int32_t ExecuteSQL(const std::string& szSQL);
  int32_t OpenSQL(const std::string& szSQL);
  int32_t SetQuerySQL(const std::string& szSQL);
  // Accepts any value and does nothing with it (clients use it to check
  // that a value crosses the wire).
  void testbinary(const Variant& NewParam) { (void)NewParam; }

  // IAppServer. Requests whose OwnerData carries the query-dataset marker
  // run their procedure through ADOStoredProc (AS_GetParams, AS_Execute,
  // AS_GetRecords, AS_RowRequest); all others go to the named provider.
  // Every operation holds the session's provider lock throughout.
  Variant AS_ApplyUpdates(const std::string& ProviderName, const Variant& Delta, int32_t MaxErrors,
                          int32_t& ErrorCount, Variant& OwnerData);
  Variant AS_GetRecords(const std::string& ProviderName, int32_t Count, int32_t& RecsOut,
                        int32_t Options, const std::string& CommandText, Variant& Params,
                        Variant& OwnerData);
  Variant AS_DataRequest(const std::string& ProviderName, const Variant& Data);
  Variant AS_GetProviderNames();
  Variant AS_GetParams(const std::string& ProviderName, Variant& OwnerData);
  Variant AS_RowRequest(const std::string& ProviderName, const Variant& Row, int32_t RequestType,
                        Variant& OwnerData);
  void AS_Execute(const std::string& ProviderName, const std::string& CommandText, Variant& Params,
                  Variant& OwnerData);

  // The database a background job's own session connects to with the
  // internal ConnectDB. Handed to that session directly, so two jobs that
  // start at once cannot see each other's name.
  void SetJobDatabaseName(std::string name) { job_database_name_ = std::move(name); }
  const std::string& JobDatabaseName() const { return job_database_name_; }

  SessionServer& server() { return server_; }

  // The components, named as the other parts of the interface use them.
  db::Connection cnnAdo;
  db::StoredProc sp_Execute;
  db::StoredProc sp_Open;
  db::Query qry_Execute;
  db::Query qry_Open;
  db::StoredProc ADOStoredProc;
  db::StoredProc sp_Test;
  db::Query qry_BaseSelect;
  db::StoredProc sp_BaseSelect;
  db::Command cmd_DDL;
  db::Query qScheduler;
  db::Query qPersonalNote;
  db::Query qCustomerNote;
  db::Query qResource;
  db::Query ADOQuery2;
  db::Query AdoVipCards;
  db::Query AdoVipCardTypes;
  db::Query AdoBtype;
  db::Query adoPosPtypeView;
  db::Query adoPosPtypeColorSizeView;
  db::Query adoPosBarCodeView;
  db::Query adoLocalView;

 private:
  void RemoteDataModuleCreate();
  void BindConnection(const std::string& szComputerName, const std::string& szIPAddress);

  // Points ADOStoredProc at a marked request's procedure (see app_server.cpp).
  void PrepareMarkedProcedure(const std::string& name);

  SessionServer& server_;
  std::string job_database_name_;
  // The provider lock: re-entrant, since an overridden operation holds it
  // while it asks a provider, which takes it again.
  std::recursive_mutex provider_lock_;
};

// ASCII upper case; other bytes (UTF-8 text) stay as they are.
std::string AsciiUpper(std::string text);

}  // namespace tillbase::session

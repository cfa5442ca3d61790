#include "server/session/co_tillbase_server.h"

#include <stdexcept>

namespace tillbase::session {

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

TCoTillbaseServer::TCoTillbaseServer(SessionServer& server)
    : sp_Execute(&cnnAdo),
      sp_Open(&cnnAdo),
      qry_Execute(&cnnAdo),
      qry_Open(&cnnAdo),
      ADOStoredProc(&cnnAdo),
      sp_Test(&cnnAdo),
      qry_BaseSelect(&cnnAdo),
      sp_BaseSelect(&cnnAdo),
      cmd_DDL(&cnnAdo),
      qScheduler(&cnnAdo),
      qPersonalNote(&cnnAdo),
      qCustomerNote(&cnnAdo),
      qResource(&cnnAdo),
      ADOQuery2(&cnnAdo),
      AdoVipCards(&cnnAdo),
      AdoVipCardTypes(&cnnAdo),
      AdoBtype(&cnnAdo),
      adoPosPtypeView(&cnnAdo),
      adoPosPtypeColorSizeView(&cnnAdo),
      adoPosBarCodeView(&cnnAdo),
      adoLocalView(&cnnAdo),
      server_(server) {
  // The fixed settings of the components.
  cnnAdo.SetProvider("SQLOLEDB.1");
  cnnAdo.SetCommandTimeout(0);
  cnnAdo.SetConnectionTimeout(0);
  for (db::DataSet* ds : std::initializer_list<db::DataSet*>{&sp_Execute, &sp_Open, &qry_Execute,
                                                             &qry_Open, &ADOStoredProc, &sp_Test,
                                                             &qry_BaseSelect, &sp_BaseSelect}) {
    ds->SetCacheSize(1000);
    ds->SetEnableBcd(false);
  }
  for (db::DataSet* ds : std::initializer_list<db::DataSet*>{
           &qScheduler, &qPersonalNote, &qCustomerNote, &qResource, &ADOQuery2}) {
    ds->SetCacheSize(1000);
  }
  sp_Test.SetProcedureName("p_test;1");
  cmd_DDL.SetCommandTimeout(0);
  AdoVipCards.SetSql("select * from VIPCards");
  AdoVipCardTypes.SetSql("select * from VipCardTypes");
  AdoBtype.SetSql("select * from btype");
  adoPosPtypeView.SetSql("select * from PosPtypeView");
  adoPosPtypeColorSizeView.SetSql("select * from PosPtypeColorSizeView");
  adoPosBarCodeView.SetSql("select * from PosBarCodeView");
  adoLocalView.SetSql("select * from PosBarCodeView");
  RemoteDataModuleCreate();
  server_.AddSession(this);
}

TCoTillbaseServer::~TCoTillbaseServer() {
  server_.RemoveSession(this);
  // The datasets detach from the connection as they go; the connection
  // closes last (an open transaction is rolled back by the database).
  try {
    cnnAdo.Close();
  } catch (...) {
    // Nothing can be reported from a released object.
  }
}

void TCoTillbaseServer::RemoteDataModuleCreate() {
  for (db::DataSet* ds : std::initializer_list<db::DataSet*>{
           &sp_Execute, &sp_Open, &qry_Execute, &qry_Open, &qry_BaseSelect, &sp_BaseSelect,
           &qScheduler, &qPersonalNote, &qCustomerNote, &ADOQuery2, &qResource}) {
    ds->SetCommandTimeout(0);
  }
}

bool TCoTillbaseServer::ConnectDB(const std::string& szComputerName,
                                  const std::string& szIPAddress) {
  const bool internal = szComputerName == kInternalConnection && szIPAddress == kInternalConnection;
  if (!internal) {
    // Before anything else and whether or not the connection opens: the
    // window lists the machine even when its connection fails.
    if (MainWindowLink* window = server_.main_window()) {
      window->SendClientConnect({szComputerName, szIPAddress, ""});
    }
  }
  try {
    BindConnection(szComputerName, szIPAddress);
    cnnAdo.Open();
    return cnnAdo.Connected();
  } catch (const std::exception& e) {
    // Only the message tells the cause: the code is always E_UNEXPECTED.
    throw std::runtime_error(e.what());
  }
}

void TCoTillbaseServer::BindConnection(const std::string& szComputerName,
                                       const std::string& szIPAddress) {
  const bool internal = szComputerName == kInternalConnection && szIPAddress == kInternalConnection;
  ConnectSettings settings = server_.LoadSettings();
  cnnAdo.Close();
  cnnAdo.SetDriverSettings(settings.driver);
  cnnAdo.SetProvider("sqloledb.1");
  // A new binding: nothing of the previous login stays behind.
  cnnAdo.ClearProperties();
  cnnAdo.SetDefaultDatabase("");
  cnnAdo.SetProperty("Data Source", settings.server_name);
  if (internal) {
    cnnAdo.SetProperty("Initial Catalog", job_database_name_);
    cnnAdo.SetDefaultDatabase(job_database_name_);
  } else {
    // The configured database is not used: a client starts in master and
    // reaches its account set through ChangeDB.
    cnnAdo.SetProperty("Initial Catalog", "master");
  }
  if (AsciiUpper(settings.windows_security) != "TRUE") {
    cnnAdo.SetProperty("Persist Security Info", "True");
    cnnAdo.SetProperty("User Id", settings.login_name);
    if (!settings.password.empty()) cnnAdo.SetProperty("PASSWORD", settings.password);
  } else {
    cnnAdo.SetProperty("Integrated Security", "SSPI");
    cnnAdo.SetProperty("Persist Security Info", "False");
  }
}

void TCoTillbaseServer::ChangeDB(const std::string& szDBName, bool& nResult) {
  nResult = false;
  try {
    cnnAdo.Close();
    cnnAdo.SetDefaultDatabase(szDBName);
    cnnAdo.SetProperty("Initial Catalog", szDBName);
    cnnAdo.SetProvider("SQLOLEDB.1");
    cnnAdo.Open();
    nResult = true;
    if (AsciiUpper(szDBName) != "MASTER") {
      server_.companion().Restart(cnnAdo.ConnectionString());
    }
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

void TCoTillbaseServer::NetConnect(const std::string& szGUID, int32_t& lsReturn) {
  server_.client_table().NetConnect(szGUID, server_.main_window());
  lsReturn = 0;
}

void TCoTillbaseServer::DisConnect(const std::string& szGUID, const std::string& szComputerName,
                                   const std::string& szIPAddress) {
  MainWindowLink* window = server_.main_window();
  if (window != nullptr) window->SendClientDisconnect({szComputerName, szIPAddress, szGUID});
  server_.client_table().DisConnect(szGUID, window);
}

void TCoTillbaseServer::TransactionController(int32_t TransMode) {
  switch (TransMode) {
    case 0:
      cnnAdo.BeginTrans();
      break;
    case 1:
      cnnAdo.CommitTrans();
      break;
    case 2:
      cnnAdo.RollbackTrans();
      break;
    default:
      break;  // other modes do nothing
  }
}

std::string TCoTillbaseServer::GetIPAddress() {
  auto addresses = server_.HostAddresses();
  // The last address of the host name; none resolved is not a failure.
  return addresses.empty() ? std::string() : addresses.back();
}

void TCoTillbaseServer::KeepConnection() {
  if (!cnnAdo.Connected()) throw std::runtime_error("~");
}

std::string TCoTillbaseServer::ResolveServerName(const std::string& name) {
  std::string upper = AsciiUpper(name);
  if (upper != "127.0.0.1" && upper != "LOCALHOST") return name;
  ADOQuery2.Close();
  ADOQuery2.SetSql("Select isnull(SERVERPROPERTY ('InstanceName'), host_name()) as ServerName");
  ADOQuery2.Open();
  std::string value = ADOQuery2.FieldByName("ServerName").AsString();
  ADOQuery2.Close();
  return value;
}

}  // namespace tillbase::session

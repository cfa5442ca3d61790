#include "rpc/cli/cli.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#include "rpc/client.h"
#include "rpc/identifiers.h"
#include "rpc/json_parse.h"
#include "rpc/packet_table.h"
#include "rpc/variant_json.h"
#include "shared/data_packet.h"

namespace tillbase::rpc::cli {
namespace {

constexpr std::uint16_t kDefaultPort = 8211;

constexpr char kUsage[] =
    "usage: tillbase-cli [--host H] [--port P] [--key-file F] [--class C]\n"
    "                    [--script FILE | METHOD [ARGS...]]\n"
    "  METHOD ARGS  one call; ARGS are comma-separated JSON values, e.g.\n"
    "               tillbase-cli ConnectDB '\"pc1\", \"127.0.0.1\"'\n"
    "  --script     one call per line of FILE, on one session object\n"
    "  (neither)    read calls from standard input (REPL)\n"
    "  --host/--port  the server (default 127.0.0.1 and $TILLBASE_PORT or 8211)\n"
    "  --key-file   a file holding the access key the server requires\n"
    "  --tls-ca FILE [--tls-cert FILE --tls-key FILE]\n"
    "               connect with TLS: the CA of the server's certificate, and the\n"
    "               client certificate with its key when the server asks for one\n"
    "  --class      the class to create (default TillcoreServer.CoTillbaseServer)\n";

std::string Hex(HResult code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

class Session {
 public:
  Session(ClientOptions options, std::string class_name, std::ostream& out, std::ostream& err)
      : client_(std::move(options)), class_name_(std::move(class_name)), out_(out), err_(err) {}
  ~Session() {
    try {
      Release();
    } catch (const std::exception&) {
      // The server's lease takes care of it.
    }
  }

  void Release() {
    if (id_.empty()) return;
    std::string id = std::move(id_);
    id_.clear();
    client_.Release(id);
  }

  // Returns 0, 1 (the call failed) or 2 (the line or the transport failed).
  int Line(const std::string& raw) {
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') return 0;
    if (line == ".release") {
      Release();
      out_ << "released\n";
      return 0;
    }
    size_t space = line.find_first_of(" \t");
    std::string method = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    std::vector<Variant> params;
    try {
      Variant array = VariantFromJson(ParseJson("[" + rest + "]"), "arguments");
      params = array.Array().items;
    } catch (const std::exception& e) {
      err_ << "bad arguments for " << method << ": " << e.what() << '\n';
      return 2;
    }
    try {
      if (id_.empty()) id_ = client_.Create(class_name_);
      bool by_dispid =
          !method.empty() && method.find_first_not_of("0123456789") == std::string::npos;
      InvokeResult result = by_dispid ? client_.CallDispid(id_, std::stoi(method), params)
                                      : client_.Call(id_, method, params);
      Print(result);
      return result.Succeeded() ? 0 : 1;
    } catch (const CallError& e) {
      out_ << "creation failed " << Hex(e.hresult()) << ": " << e.description() << '\n';
      return 1;
    } catch (const TransportError& e) {
      err_ << "error: " << e.what() << '\n';
      if (e.kind() == "unknown_object") id_.clear();  // expired: the next call starts afresh
      return 2;
    } catch (const std::exception& e) {
      err_ << "error: " << e.what() << '\n';
      return 2;
    }
  }

 private:
  // A data packet is shown as a table below its line; other values as JSON.
  void PrintValue(const Variant& value) {
    if (IsPacket(value)) {
      DataPacket packet = DataPacket::FromVariant(value);
      out_ << "packet of " << packet.rows.size() << " rows, " << packet.fields.size() << " fields\n"
           << FormatPacketTable(packet);
    } else {
      out_ << EncodeVariant(value) << '\n';
    }
  }

  void Print(const InvokeResult& result) {
    if (result.Succeeded()) {
      out_ << "S_OK";
      if (!result.retval.IsEmpty()) {
        out_ << " = ";
        PrintValue(result.retval);
      } else {
        out_ << '\n';
      }
    } else {
      const ErrorInfo info = result.error.value_or(ErrorInfo{});
      out_ << "error " << Hex(result.hresult) << ": " << info.description << '\n';
      out_ << "  source: " << info.source << "  guid: " << info.guid
           << "  helpcontext: " << info.help_context << '\n';
    }
    for (const auto& [name, value] : result.out_values) {
      out_ << "  " << name << " = ";
      PrintValue(value);
    }
  }

  Client client_;
  std::string class_name_;
  std::string id_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

int RunCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err) {
  ClientOptions options;
  options.port = kDefaultPort;
  if (const char* port = std::getenv("TILLBASE_PORT"))
    options.port = static_cast<std::uint16_t>(std::atoi(port));
  std::string class_name(kProgId);
  std::optional<std::string> script;
  std::vector<std::string> call;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    auto missing = [&](const std::string& option) {
      err << "tillbase-cli: " << option << " needs a value\n" << kUsage;
      return 2;
    };
    if (!call.empty()) {
      call.push_back(a);
      continue;
    }
    std::optional<std::string> v;
    if (a == "-h" || a == "--help") {
      out << kUsage;
      return 0;
    } else if (a == "--host") {
      if (!(v = value())) return missing(a);
      options.host = *v;
    } else if (a == "--port") {
      if (!(v = value())) return missing(a);
      int port = std::atoi(v->c_str());
      if (port <= 0 || port > 65535) {
        err << "tillbase-cli: bad port \"" << *v << "\"\n";
        return 2;
      }
      options.port = static_cast<std::uint16_t>(port);
    } else if (a == "--key-file") {
      if (!(v = value())) return missing(a);
      std::ifstream file(*v);
      if (!file || !std::getline(file, options.access_key)) {
        err << "tillbase-cli: cannot read the key file " << *v << '\n';
        return 2;
      }
      options.access_key = Trim(options.access_key);
    } else if (a == "--tls-ca") {
      if (!(v = value())) return missing(a);
      options.tls_ca_file = *v;
    } else if (a == "--tls-cert") {
      if (!(v = value())) return missing(a);
      options.tls_certificate_file = *v;
    } else if (a == "--tls-key") {
      if (!(v = value())) return missing(a);
      options.tls_private_key_file = *v;
    } else if (a == "--class") {
      if (!(v = value())) return missing(a);
      class_name = *v;
    } else if (a == "--script") {
      if (!(v = value())) return missing(a);
      script = *v;
    } else if (a.starts_with("--")) {
      err << "tillbase-cli: unknown option " << a << '\n' << kUsage;
      return 2;
    } else {
      call.push_back(a);
    }
  }
  if (options.tls_certificate_file.empty() != options.tls_private_key_file.empty() ||
      (options.tls_ca_file.empty() && !options.tls_certificate_file.empty())) {
    err << "tillbase-cli: --tls-cert and --tls-key go together, and with --tls-ca\n";
    return 2;
  }
  if (script && !call.empty()) {
    err << "tillbase-cli: give either --script or a call, not both\n";
    return 2;
  }

  Session session(options, class_name, out, err);
  if (!call.empty()) {
    std::string line;
    for (const std::string& part : call) line += (line.empty() ? "" : " ") + part;
    return session.Line(line);
  }
  std::ifstream file;
  std::istream* input = &in;
  if (script) {
    file.open(*script);
    if (!file) {
      err << "tillbase-cli: cannot open the script " << *script << '\n';
      return 2;
    }
    input = &file;
  }
  bool interactive = !script && &in == &std::cin && isatty(STDIN_FILENO);
  int worst = 0;
  std::string line;
  for (;;) {
    if (interactive) out << "tillbase> " << std::flush;
    if (!std::getline(*input, line)) break;
    if (Trim(line) == ".quit") break;
    worst = std::max(worst, session.Line(line));
  }
  try {
    session.Release();
  } catch (const std::exception& e) {
    err << "error: " << e.what() << '\n';
    worst = 2;
  }
  return worst;
}

}  // namespace tillbase::rpc::cli

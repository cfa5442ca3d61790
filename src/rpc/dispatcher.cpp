#include "rpc/dispatcher.h"

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>

#include "rpc/call_frame.h"
#include "rpc/json_parse.h"
#include "rpc/json_writer.h"
#include "rpc/typelib.h"
#include "rpc/variant_json.h"

namespace tillbase::rpc {
namespace json = boost::json;
namespace {

constexpr std::string_view kObjectsPath = "/v1/objects";

std::string HexOf(std::int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

json::object ErrorJson(const ErrorInfo& info) {
  return json::object{{"description", info.description},
                      {"source", info.source},
                      {"guid", info.guid},
                      {"helpfile", info.help_file},
                      {"helpcontext", info.help_context}};
}

HttpResponse Json(int status, const json::value& body) {
  return HttpResponse{status, json::serialize(body) + "\n"};
}

// Coerces one argument to its declared type as dispatch would; throws
// VariantError on a value that does not convert.
Variant Coerce(const ParamInfo& param, const Variant& value) {
  switch (param.type) {
    case ParamType::kVariant:
      return value;
    case ParamType::kBstr:
      if (value.IsArray()) throw VariantError::Conversion("Array", "String");
      return Variant(value.ToString());
    case ParamType::kLong:
    case ParamType::kEnum:
      return Variant(value.ToInt32());
    case ParamType::kBool:
      return Variant(value.ToBool());
    case ParamType::kDate:
      return Variant::FromDate(value.ToDate());
  }
  return value;
}

}  // namespace

Dispatcher::Dispatcher(ObjectTable& objects, Metrics& metrics, const ServerOptions& options)
    : objects_(objects),
      metrics_(metrics),
      options_(options),
      typelib_json_(TypeLibrary::Get().ToJson() + "\n") {}

HttpResponse Dispatcher::TransportError(int status, const std::string& kind,
                                        const std::string& message, bool with_hresult,
                                        std::int32_t hresult) {
  metrics_.TransportError(kind);
  json::object body{{"error", kind}, {"message", message}};
  if (with_hresult) {
    body["hresult"] = hresult;
    body["hresult_hex"] = HexOf(hresult);
  }
  return Json(status, body);
}

HttpResponse Dispatcher::BodyTooLarge() {
  return TransportError(
      413, "body_too_large",
      "the request body exceeds the limit of " + std::to_string(options_.body_limit) + " bytes");
}

HttpResponse Dispatcher::BadHttp(const std::string& what) {
  return TransportError(400, "bad_request", "malformed HTTP request: " + what);
}

std::size_t Dispatcher::ExpireIdle() {
  std::size_t expired = objects_.ExpireIdle();
  if (expired > 0) metrics_.ObjectReleased(expired);
  return expired;
}

void Dispatcher::Handle(HttpRequest request, std::function<void(HttpResponse)> done) {
  std::string path = request.target.substr(0, request.target.find('?'));
  if (path == "/v1/health") {
    if (request.method != "GET") return done(TransportError(405, "method_not_allowed", "use GET"));
    return done(Json(200, json::object{{"status", "ok"}, {"objects", objects_.size()}}));
  }
  if (!options_.access_key.empty() &&
      !ConstantTimeEquals(BearerToken(request.authorization), options_.access_key)) {
    return done(TransportError(401, "unauthorized",
                               "this server needs \"Authorization: Bearer <access key>\""));
  }
  if (path == "/v1/typelib") {
    if (request.method != "GET") return done(TransportError(405, "method_not_allowed", "use GET"));
    return done(HttpResponse{200, typelib_json_});
  }
  if (path == "/v1/metrics") {
    if (request.method != "GET") return done(TransportError(405, "method_not_allowed", "use GET"));
    return done(HttpResponse{200, metrics_.Render(objects_.size()),
                             "text/plain; version=0.0.4; charset=utf-8"});
  }
  if (path == kObjectsPath) {
    if (request.method != "POST") {
      return done(TransportError(405, "method_not_allowed", "use POST to create an object"));
    }
    return Create(request, std::move(done));
  }
  if (path.starts_with(std::string(kObjectsPath) + "/")) {
    std::string id = path.substr(kObjectsPath.size() + 1);
    if (request.method == "POST") return Invoke(id, request, std::move(done));
    if (request.method == "DELETE") return Release(id, std::move(done));
    return done(TransportError(405, "method_not_allowed",
                               "use POST to call a method or DELETE to release the object"));
  }
  done(TransportError(404, "not_found", "no such resource: " + path));
}

void Dispatcher::Create(const HttpRequest& request, std::function<void(HttpResponse)> done) {
  json::value body;
  try {
    body = ParseJson(request.body);
  } catch (const JsonError& e) {
    return done(TransportError(400, "malformed_json", e.what()));
  }
  const json::value* class_name =
      body.is_object() ? body.get_object().if_contains("class") : nullptr;
  if (class_name == nullptr || !class_name->is_string()) {
    return done(TransportError(400, "bad_request",
                               "the body must be an object with \"class\": a ProgID or CLSID"));
  }
  objects_.CreateAsync(std::string(class_name->get_string()), [this, done = std::move(done)](
                                                                  CreateOutcome outcome) {
    if (outcome.id.empty()) {
      metrics_.CreationFailed();
      json::object answer{{"hresult", outcome.hresult}, {"hresult_hex", HexOf(outcome.hresult)}};
      if (outcome.error) answer["error"] = ErrorJson(*outcome.error);
      return done(Json(200, answer));
    }
    metrics_.ObjectCreated();
    done(Json(201, json::object{{"hresult", 0}, {"hresult_hex", HexOf(0)}, {"id", outcome.id}}));
  });
}

void Dispatcher::Invoke(const std::string& id, const HttpRequest& request,
                        std::function<void(HttpResponse)> done) {
  auto arrived = std::chrono::steady_clock::now();
  json::value body;
  try {
    body = ParseJson(request.body);
  } catch (const JsonError& e) {
    return done(TransportError(400, "malformed_json", e.what()));
  }
  if (!body.is_object()) {
    return done(TransportError(400, "bad_request",
                               "the body must be an object with \"method\" or \"dispid\""));
  }
  const json::object& call = body.get_object();
  for (const auto& member : call) {
    if (member.key() != "method" && member.key() != "dispid" && member.key() != "params") {
      return done(TransportError(400, "bad_request",
                                 "unexpected member \"" + std::string(member.key()) + "\""));
    }
  }
  const TypeLibrary& library = TypeLibrary::Get();
  const MethodInfo* method = nullptr;
  const json::value* name = call.if_contains("method");
  const json::value* dispid = call.if_contains("dispid");
  if (name == nullptr && dispid == nullptr) {
    return done(TransportError(400, "bad_request", "the call names no \"method\" or \"dispid\""));
  }
  if (name != nullptr) {
    if (!name->is_string())
      return done(TransportError(400, "bad_request", "\"method\" must be a string"));
    method = library.FindByName(name->get_string());
    if (method == nullptr) {
      return done(TransportError(400, "DISP_E_UNKNOWNNAME",
                                 "unknown method \"" + std::string(name->get_string()) + "\"", true,
                                 kDispEUnknownName));
    }
  }
  if (dispid != nullptr) {
    if (!dispid->is_int64())
      return done(TransportError(400, "bad_request", "\"dispid\" must be an integer"));
    const MethodInfo* by_dispid =
        dispid->get_int64() >= INT32_MIN && dispid->get_int64() <= INT32_MAX
            ? library.FindByDispid(static_cast<std::int32_t>(dispid->get_int64()))
            : nullptr;
    if (by_dispid == nullptr) {
      return done(TransportError(400, "DISP_E_MEMBERNOTFOUND",
                                 "no method with dispid " + std::to_string(dispid->get_int64()),
                                 true, kDispEMemberNotFound));
    }
    if (method != nullptr && method != by_dispid) {
      return done(TransportError(400, "bad_request",
                                 "\"method\" " + method->name + " and \"dispid\" " +
                                     std::to_string(dispid->get_int64()) +
                                     " name different methods"));
    }
    method = by_dispid;
  }
  json::array no_params;
  const json::array* params = &no_params;
  if (const json::value* p = call.if_contains("params")) {
    if (!p->is_array())
      return done(TransportError(400, "bad_request", "\"params\" must be an array"));
    params = &p->get_array();
  }
  std::vector<const ParamInfo*> inputs = method->InputParams();
  if (params->size() != inputs.size()) {
    return done(TransportError(400, "DISP_E_BADPARAMCOUNT",
                               method->name + " takes " + std::to_string(inputs.size()) +
                                   " parameter" + (inputs.size() == 1 ? "" : "s") + ", got " +
                                   std::to_string(params->size()),
                               true, kDispEBadParamCount));
  }
  // One slot per declared parameter but the retval; [out] ones stay Empty.
  std::vector<Variant> args;
  size_t next_input = 0;
  for (const ParamInfo& p : method->params) {
    if (p.direction == Direction::kRetval) continue;
    if (p.direction == Direction::kOut) {
      args.emplace_back();
      continue;
    }
    std::string where = "params[" + std::to_string(next_input) + "] (" + p.name + ")";
    Variant value;
    try {
      value = VariantFromJson((*params)[next_input], where);
    } catch (const CodecError& e) {
      return done(TransportError(400, "DISP_E_TYPEMISMATCH", e.what(), true, kDispETypeMismatch));
    }
    try {
      args.push_back(Coerce(p, value));
    } catch (const VariantError& e) {
      return done(
          TransportError(400, "DISP_E_TYPEMISMATCH",
                         where + ": " + std::string(ParamTypeName(p)) + " expected; " + e.what(),
                         true, kDispETypeMismatch));
    }
    ++next_input;
  }
  auto response = std::make_shared<HttpResponse>();
  auto task = [this, method, args = std::move(args), response,
               arrived](ServedObject& object) mutable {
    InvokeResult result;
    try {
      result = object.Invoke(*method, args);
    } catch (...) {
      result = FailedCall(*method, args, std::current_exception());
    }
    try {
      // Written straight into the body: a record packet's JSON is most of
      // the answer, and a tree of it would cost more than the text.
      std::string text = "{\"hresult\":";
      AppendJsonInt(text, result.hresult);
      text += ",\"hresult_hex\":\"" + HexOf(result.hresult) + "\"";
      if (method->Retval() != nullptr && result.Succeeded()) {
        text += ",\"retval\":";
        WriteVariantJson(text, result.retval);
      }
      text += ",\"out\":{";
      for (size_t i = 0; i < result.out_values.size(); ++i) {
        if (i > 0) text += ',';
        AppendJsonString(text, result.out_values[i].first);
        text += ':';
        WriteVariantJson(text, result.out_values[i].second);
      }
      text += '}';
      if (result.error) {
        text += ",\"error\":";
        text += json::serialize(ErrorJson(*result.error));
      }
      text += "}\n";
      *response = HttpResponse{200, std::move(text)};
    } catch (const std::exception& e) {
      *response =
          TransportError(500, "unencodable_result",
                         method->name + " answered a value the protocol cannot carry: " + e.what());
    }
    metrics_.CallFinished(method->name, !result.Succeeded(),
                          std::chrono::steady_clock::now() - arrived);
  };
  if (!objects_.Post(id, std::move(task), [response, done] { done(std::move(*response)); })) {
    done(TransportError(404, "unknown_object",
                        "no object \"" + id + "\": never created, released, or its lease ran out"));
  }
}

void Dispatcher::Release(const std::string& id, std::function<void(HttpResponse)> done) {
  auto shared_done = std::make_shared<std::function<void(HttpResponse)>>(std::move(done));
  if (!objects_.Release(id, [this, shared_done] {
        metrics_.ObjectReleased();
        (*shared_done)(Json(200, json::object{{"released", true}}));
      })) {
    (*shared_done)(TransportError(
        404, "unknown_object",
        "no object \"" + std::string(id) + "\": never created, released, or its lease ran out"));
  }
}

}  // namespace tillbase::rpc

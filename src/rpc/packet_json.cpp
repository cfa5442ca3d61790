#include "rpc/packet_json.h"

#include <boost/json.hpp>
#include <limits>

#include "rpc/variant_json.h"

namespace tillbase::rpc {
namespace json = boost::json;
namespace {

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw CodecError(where + ": " + what);
}

constexpr const char* kKindNames[] = {"data", "delta", "errors"};
constexpr const char* kStateNames[] = {"unchanged", "inserted", "modified", "deleted"};

struct FlagName {
  const char* name;
  bool PacketField::*member;
};
constexpr FlagName kFlags[] = {{"required", &PacketField::required},
                               {"readonly", &PacketField::read_only},
                               {"key", &PacketField::key},
                               {"autoinc", &PacketField::auto_increment}};

json::array ValuesToJson(const std::vector<Variant>& values) {
  json::array out;
  out.reserve(values.size());
  for (const Variant& v : values) out.push_back(VariantToJson(v));
  return out;
}

const json::object& ObjectOf(const json::value& v, const std::string& where) {
  if (!v.is_object()) Fail(where, "needs an object");
  return v.get_object();
}

const json::array& ArrayOf(const json::value& v, const std::string& where) {
  if (!v.is_array()) Fail(where, "needs an array");
  return v.get_array();
}

std::string TextOf(const json::value& v, const std::string& where) {
  if (!v.is_string()) Fail(where, "needs a string");
  return std::string(v.get_string());
}

int32_t Int32Of(const json::value& v, const std::string& where) {
  int64_t i = 0;
  if (v.is_int64()) {
    i = v.get_int64();
  } else if (v.is_uint64()) {
    i = std::numeric_limits<int64_t>::max();
  } else {
    Fail(where, "needs an integer");
  }
  if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max()) {
    Fail(where, "out of range: " + std::to_string(i));
  }
  return static_cast<int32_t>(i);
}

// Rejects members other than the allowed ones: a misspelt member would
// otherwise vanish without a word.
void OnlyMembers(const json::object& o, std::initializer_list<std::string_view> allowed,
                 const std::string& where) {
  for (const auto& kv : o) {
    bool ok = false;
    for (std::string_view a : allowed) ok = ok || kv.key() == a;
    if (!ok) Fail(where, "unexpected member \"" + std::string(kv.key()) + "\"");
  }
}

const json::value& Required(const json::object& o, std::string_view key, const std::string& where) {
  auto it = o.find(key);
  if (it == o.end()) Fail(where, "needs \"" + std::string(key) + "\"");
  return it->value();
}

std::vector<Variant> ValuesFromJson(const json::value& v, size_t count, const std::string& where) {
  const json::array& items = ArrayOf(v, where);
  if (items.size() != count) {
    Fail(where, "has " + std::to_string(items.size()) + " values for " + std::to_string(count) +
                    " fields");
  }
  std::vector<Variant> out;
  out.reserve(count);
  for (size_t i = 0; i < items.size(); ++i) {
    out.push_back(VariantFromJson(items[i], where + "[" + std::to_string(i) + "]"));
  }
  return out;
}

PacketField FieldFromJson(const json::value& v, const std::string& where) {
  const json::object& o = ObjectOf(v, where);
  OnlyMembers(o, {"name", "type", "size", "precision", "scale", "flags"}, where);
  PacketField f;
  f.name = TextOf(Required(o, "name", where), where + ".name");
  f.data_type = Int32Of(Required(o, "type", where), where + ".type");
  if (auto it = o.find("size"); it != o.end()) f.size = Int32Of(it->value(), where + ".size");
  if (auto it = o.find("precision"); it != o.end()) {
    f.precision = Int32Of(it->value(), where + ".precision");
  }
  if (auto it = o.find("scale"); it != o.end()) f.scale = Int32Of(it->value(), where + ".scale");
  if (auto it = o.find("flags"); it != o.end()) {
    const json::array& flags = ArrayOf(it->value(), where + ".flags");
    for (size_t i = 0; i < flags.size(); ++i) {
      std::string name = TextOf(flags[i], where + ".flags[" + std::to_string(i) + "]");
      bool known = false;
      for (const FlagName& flag : kFlags) {
        if (name == flag.name) {
          f.*flag.member = true;
          known = true;
        }
      }
      if (!known) Fail(where + ".flags", "unknown flag \"" + name + "\"");
    }
  }
  return f;
}

PacketRow RowFromJson(const json::value& v, size_t field_count, const std::string& where) {
  PacketRow row;
  if (v.is_array()) {
    row.values = ValuesFromJson(v, field_count, where);
    return row;
  }
  const json::object& o = ObjectOf(v, where);
  OnlyMembers(o, {"state", "values", "original", "error"}, where);
  if (auto it = o.find("state"); it != o.end()) {
    std::string state = TextOf(it->value(), where + ".state");
    bool known = false;
    for (size_t i = 0; i < std::size(kStateNames); ++i) {
      if (state == kStateNames[i]) {
        row.state = static_cast<RowState>(i);
        known = true;
      }
    }
    if (!known) Fail(where + ".state", "unknown row state \"" + state + "\"");
  }
  row.values = ValuesFromJson(Required(o, "values", where), field_count, where + ".values");
  auto original = o.find("original");
  if (row.state == RowState::kModified) {
    if (original == o.end()) Fail(where, "a modified row needs \"original\"");
    row.original = ValuesFromJson(original->value(), field_count, where + ".original");
  } else if (original != o.end()) {
    Fail(where, "only a modified row has \"original\"");
  }
  if (auto it = o.find("error"); it != o.end()) {
    std::string at = where + ".error";
    const json::object& e = ObjectOf(it->value(), at);
    OnlyMembers(e, {"code", "message"}, at);
    row.has_error = true;
    if (auto c = e.find("code"); c != e.end()) row.error_code = Int32Of(c->value(), at + ".code");
    if (auto m = e.find("message"); m != e.end()) {
      row.error_message = TextOf(m->value(), at + ".message");
    }
  }
  return row;
}

}  // namespace

json::value PacketToJson(const DataPacket& packet) {
  json::object out;
  out["kind"] = kKindNames[static_cast<size_t>(packet.kind)];
  json::array fields;
  fields.reserve(packet.fields.size());
  for (const PacketField& f : packet.fields) {
    json::object o;
    o["name"] = f.name;
    o["type"] = f.data_type;
    o["size"] = f.size;
    o["precision"] = f.precision;
    o["scale"] = f.scale;
    json::array flags;
    for (const FlagName& flag : kFlags) {
      if (f.*flag.member) flags.push_back(json::string(flag.name));
    }
    o["flags"] = std::move(flags);
    fields.push_back(std::move(o));
  }
  out["fields"] = std::move(fields);
  json::array rows;
  rows.reserve(packet.rows.size());
  for (const PacketRow& row : packet.rows) {
    if (row.state == RowState::kUnchanged && !row.has_error) {
      rows.push_back(ValuesToJson(row.values));
      continue;
    }
    json::object o;
    o["state"] = kStateNames[static_cast<size_t>(row.state)];
    o["values"] = ValuesToJson(row.values);
    if (row.state == RowState::kModified) o["original"] = ValuesToJson(row.original);
    if (row.has_error) {
      json::object e;
      e["code"] = row.error_code;
      e["message"] = row.error_message;
      o["error"] = std::move(e);
    }
    rows.push_back(std::move(o));
  }
  out["rows"] = std::move(rows);
  return out;
}

DataPacket PacketFromJson(const json::value& json, const std::string& where) {
  std::string at = where + ".$packet";
  const json::object& o = ObjectOf(json, at);
  OnlyMembers(o, {"kind", "fields", "rows"}, at);
  DataPacket packet;
  if (auto it = o.find("kind"); it != o.end()) {
    std::string kind = TextOf(it->value(), at + ".kind");
    bool known = false;
    for (size_t i = 0; i < std::size(kKindNames); ++i) {
      if (kind == kKindNames[i]) {
        packet.kind = static_cast<PacketKind>(i);
        known = true;
      }
    }
    if (!known) Fail(at + ".kind", "unknown packet kind \"" + kind + "\"");
  }
  const json::array& fields = ArrayOf(Required(o, "fields", at), at + ".fields");
  packet.fields.reserve(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    packet.fields.push_back(FieldFromJson(fields[i], at + ".fields[" + std::to_string(i) + "]"));
  }
  const json::array& rows = ArrayOf(Required(o, "rows", at), at + ".rows");
  packet.rows.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    packet.rows.push_back(
        RowFromJson(rows[i], packet.fields.size(), at + ".rows[" + std::to_string(i) + "]"));
  }
  return packet;
}

std::optional<json::value> PacketBytesToJson(const std::vector<uint8_t>& bytes) {
  if (!IsPacket(bytes)) return std::nullopt;
  try {
    DataPacket packet = DataPacket::Decode(bytes);
    json::value out = PacketToJson(packet);
    return out;
  } catch (const PacketError&) {
    // Bytes that only look like a packet are still bytes: they travel as
    // $bytes, unchanged.
  } catch (const CodecError&) {
    // A value inside without a JSON form (text that is not UTF-8, a custom
    // kind the codec does not know): $bytes carries it exactly.
  }
  return std::nullopt;
}

}  // namespace tillbase::rpc

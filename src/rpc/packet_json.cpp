#include "rpc/packet_json.h"

#include <boost/json.hpp>
#include <charconv>
#include <cmath>
#include <limits>

#include "rpc/json_parse.h"
#include "rpc/json_writer.h"
#include "rpc/variant_json.h"
#include "shared/packet_reader.h"

namespace tillbase::rpc {
namespace json = boost::json;
namespace {

[[noreturn]] void Fail(const JsonPlace& where, const std::string& what) {
  throw CodecError(where.Text() + ": " + what);
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

// Field names and error messages have no other form than JSON text.
void WriteText(std::string& out, std::string_view text) {
  if (!IsValidUtf8(text)) throw CodecError("text is not valid UTF-8");
  AppendJsonString(out, text);
}

// One value and, for a variant array, its elements.
void WriteValue(std::string& out, PacketReader& reader, int depth) {
  PacketValue v;
  reader.ReadValue(v, depth);
  if (v.type != (VT_ARRAY | VT_VARIANT)) return WriteValueJson(out, v);
  if (v.low_bound != 0) out += "{\"$array\":";
  out += '[';
  for (uint32_t i = 0; i < v.count; ++i) {
    if (i > 0) out += ',';
    WriteValue(out, reader, depth + 1);
  }
  out += ']';
  if (v.low_bound != 0) {
    out += ",\"lbound\":";
    AppendJsonInt(out, v.low_bound);
    out += '}';
  }
}

void WriteValues(std::string& out, PacketReader& reader, size_t count) {
  out += '[';
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    WriteValue(out, reader, 0);
  }
  out += ']';
}

const json::object& ObjectOf(const json::value& v, const JsonPlace& where) {
  if (!v.is_object()) Fail(where, "needs an object");
  return v.get_object();
}

const json::array& ArrayOf(const json::value& v, const JsonPlace& where) {
  if (!v.is_array()) Fail(where, "needs an array");
  return v.get_array();
}

std::string_view TextOf(const json::value& v, const JsonPlace& where) {
  if (!v.is_string()) Fail(where, "needs a string");
  return v.get_string();
}

int32_t Int32Of(const json::value& v, const JsonPlace& where) {
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
                 const JsonPlace& where) {
  for (const auto& kv : o) {
    bool ok = false;
    for (std::string_view a : allowed) ok = ok || kv.key() == a;
    if (!ok) Fail(where, "unexpected member \"" + std::string(kv.key()) + "\"");
  }
}

const json::value& Required(const json::object& o, std::string_view key, const JsonPlace& where) {
  auto it = o.find(key);
  if (it == o.end()) Fail(where, "needs \"" + std::string(key) + "\"");
  return it->value();
}

// The tagged forms every record packet is full of ($date, $i8, $bytes),
// straight into the packet; false for anything else and for anything
// VariantFromJson would refuse, which then reads it (and names the fault).
bool ReadTaggedValue(PacketWriter& writer, const json::object& o, const JsonPlace& where) {
  if (o.size() != 1) return false;
  const json::key_value_pair& member = *o.begin();
  std::string_view tag = member.key();
  const json::value& v = member.value();
  if (tag == "$date" && v.is_double() && std::isfinite(v.get_double())) {
    writer.AddValue(Variant::FromDate(v.get_double()));
    return true;
  }
  if (tag == "$i8" && v.is_string()) {
    std::string_view text = v.get_string();
    int64_t i = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
    writer.AddInt64(i);
    return true;
  }
  if (tag == "$bytes" && v.is_string()) {
    writer.AddBytes(Base64Decode(v.get_string(), where));
    return true;
  }
  return false;
}

// One value per field into the packet; the simple JSON kinds go straight
// in, as VariantFromJson would read them.
void ReadValues(PacketWriter& writer, const json::value& v, size_t count, const JsonPlace& where) {
  const json::array& items = ArrayOf(v, where);
  if (items.size() != count) {
    Fail(where, "has " + std::to_string(items.size()) + " values for " + std::to_string(count) +
                    " fields");
  }
  for (size_t i = 0; i < items.size(); ++i) {
    const json::value& item = items[i];
    switch (item.kind()) {
      case json::kind::null:
        writer.AddNull();
        break;
      case json::kind::bool_:
        writer.AddBool(item.get_bool());
        break;
      case json::kind::string:
        writer.AddText(item.get_string());
        break;
      case json::kind::int64:
        if (item.get_int64() >= std::numeric_limits<int32_t>::min() &&
            item.get_int64() <= std::numeric_limits<int32_t>::max()) {
          writer.AddInt32(static_cast<int32_t>(item.get_int64()));
        } else {
          writer.AddDouble(static_cast<double>(item.get_int64()));
        }
        break;
      case json::kind::double_:
        writer.AddDouble(item.get_double());
        break;
      case json::kind::object:
        if (!ReadTaggedValue(writer, item.get_object(), where.Element(i))) {
          writer.AddValue(VariantFromJson(item, where.Element(i)));
        }
        break;
      default:
        writer.AddValue(VariantFromJson(item, where.Element(i)));
    }
  }
}

PacketField FieldFromJson(const json::value& v, const JsonPlace& where) {
  const json::object& o = ObjectOf(v, where);
  OnlyMembers(o, {"name", "type", "size", "precision", "scale", "flags"}, where);
  PacketField f;
  f.name = std::string(TextOf(Required(o, "name", where), where.Member(".name")));
  f.data_type = Int32Of(Required(o, "type", where), where.Member(".type"));
  if (auto it = o.find("size"); it != o.end()) f.size = Int32Of(it->value(), where.Member(".size"));
  if (auto it = o.find("precision"); it != o.end()) {
    f.precision = Int32Of(it->value(), where.Member(".precision"));
  }
  if (auto it = o.find("scale"); it != o.end()) {
    f.scale = Int32Of(it->value(), where.Member(".scale"));
  }
  if (auto it = o.find("flags"); it != o.end()) {
    JsonPlace at = where.Member(".flags");
    const json::array& flags = ArrayOf(it->value(), at);
    for (size_t i = 0; i < flags.size(); ++i) {
      std::string_view name = TextOf(flags[i], at.Element(i));
      bool known = false;
      for (const FlagName& flag : kFlags) {
        if (name == flag.name) {
          f.*flag.member = true;
          known = true;
        }
      }
      if (!known) Fail(at, "unknown flag \"" + std::string(name) + "\"");
    }
  }
  return f;
}

void ReadRow(PacketWriter& writer, const json::value& v, size_t field_count,
             const JsonPlace& where) {
  if (v.is_array()) {
    writer.BeginRow(RowState::kUnchanged, false);
    ReadValues(writer, v, field_count, where);
    return;
  }
  const json::object& o = ObjectOf(v, where);
  OnlyMembers(o, {"state", "values", "original", "error"}, where);
  RowState state = RowState::kUnchanged;
  if (auto it = o.find("state"); it != o.end()) {
    JsonPlace at = where.Member(".state");
    std::string_view name = TextOf(it->value(), at);
    bool known = false;
    for (size_t i = 0; i < std::size(kStateNames); ++i) {
      if (name == kStateNames[i]) {
        state = static_cast<RowState>(i);
        known = true;
      }
    }
    if (!known) Fail(at, "unknown row state \"" + std::string(name) + "\"");
  }
  auto error = o.find("error");
  writer.BeginRow(state, error != o.end());
  ReadValues(writer, Required(o, "values", where), field_count, where.Member(".values"));
  auto original = o.find("original");
  if (state == RowState::kModified) {
    if (original == o.end()) Fail(where, "a modified row needs \"original\"");
    ReadValues(writer, original->value(), field_count, where.Member(".original"));
  } else if (original != o.end()) {
    Fail(where, "only a modified row has \"original\"");
  }
  if (error != o.end()) {
    JsonPlace at = where.Member(".error");
    const json::object& e = ObjectOf(error->value(), at);
    OnlyMembers(e, {"code", "message"}, at);
    int32_t code = 0;
    std::string_view message;
    if (auto c = e.find("code"); c != e.end()) code = Int32Of(c->value(), at.Member(".code"));
    if (auto m = e.find("message"); m != e.end())
      message = TextOf(m->value(), at.Member(".message"));
    writer.EndRowWithError(code, message);
  }
}

}  // namespace

void WritePacketJson(std::string& out, std::span<const uint8_t> bytes) {
  PacketReader reader(bytes);
  // The text is about half as long again as the bytes: one allocation
  // instead of a string that doubles its way up.
  out.reserve(out.size() + bytes.size() + bytes.size() / 2 + 64);
  out += "{\"kind\":\"";
  out += kKindNames[static_cast<size_t>(reader.kind())];
  out += "\",\"fields\":[";
  bool first = true;
  for (const PacketField& f : reader.fields()) {
    out += first ? "{\"name\":" : ",{\"name\":";
    first = false;
    WriteText(out, f.name);
    out += ",\"type\":";
    AppendJsonInt(out, f.data_type);
    out += ",\"size\":";
    AppendJsonInt(out, f.size);
    out += ",\"precision\":";
    AppendJsonInt(out, f.precision);
    out += ",\"scale\":";
    AppendJsonInt(out, f.scale);
    out += ",\"flags\":[";
    bool first_flag = true;
    for (const FlagName& flag : kFlags) {
      if (!(f.*flag.member)) continue;
      out += first_flag ? "\"" : ",\"";
      first_flag = false;
      out += flag.name;
      out += '"';
    }
    out += "]}";
  }
  out += "],\"rows\":[";
  const size_t field_count = reader.fields().size();
  for (uint32_t i = 0; i < reader.row_count(); ++i) {
    if (i > 0) out += ',';
    PacketRowHeader row = reader.ReadRowHeader();
    if (row.state == RowState::kUnchanged && !row.has_error) {
      WriteValues(out, reader, field_count);
      continue;
    }
    out += "{\"state\":\"";
    out += kStateNames[static_cast<size_t>(row.state)];
    out += "\",\"values\":";
    WriteValues(out, reader, field_count);
    if (row.state == RowState::kModified) {
      out += ",\"original\":";
      WriteValues(out, reader, field_count);
    }
    if (row.has_error) {
      int32_t code = 0;
      std::string_view message;
      reader.ReadRowError(code, message);
      out += ",\"error\":{\"code\":";
      AppendJsonInt(out, code);
      out += ",\"message\":";
      WriteText(out, message);
      out += '}';
    }
    out += '}';
  }
  out += "]}";
  reader.Finish();
}

bool TryWritePacketJson(std::string& out, std::span<const uint8_t> bytes) {
  size_t mark = out.size();
  try {
    WritePacketJson(out, bytes);
    return true;
  } catch (const PacketError&) {
    // Bytes that only look like a packet are still bytes: they travel as
    // $bytes, unchanged.
  } catch (const CodecError&) {
    // A value inside without a JSON form (text that is not UTF-8, a custom
    // kind the codec does not know): $bytes carries it exactly.
  }
  out.resize(mark);
  return false;
}

json::value PacketToJson(const DataPacket& packet) {
  std::string text;
  WritePacketJson(text, packet.Encode());
  return ParseJson(text, kMaxVariantDepth);
}

std::vector<uint8_t> PacketJsonToBytes(const json::value& json, const JsonPlace& where) {
  JsonPlace at = where.Member(".$packet");
  const json::object& o = ObjectOf(json, at);
  OnlyMembers(o, {"kind", "fields", "rows"}, at);
  PacketKind kind = PacketKind::kData;
  if (auto it = o.find("kind"); it != o.end()) {
    JsonPlace kind_at = at.Member(".kind");
    std::string_view name = TextOf(it->value(), kind_at);
    bool known = false;
    for (size_t i = 0; i < std::size(kKindNames); ++i) {
      if (name == kKindNames[i]) {
        kind = static_cast<PacketKind>(i);
        known = true;
      }
    }
    if (!known) Fail(kind_at, "unknown packet kind \"" + std::string(name) + "\"");
  }
  JsonPlace fields_at = at.Member(".fields");
  const json::array& field_items = ArrayOf(Required(o, "fields", at), fields_at);
  std::vector<PacketField> fields;
  fields.reserve(field_items.size());
  for (size_t i = 0; i < field_items.size(); ++i) {
    fields.push_back(FieldFromJson(field_items[i], fields_at.Element(i)));
  }
  JsonPlace rows_at = at.Member(".rows");
  const json::array& rows = ArrayOf(Required(o, "rows", at), rows_at);
  PacketWriter writer(kind, fields);
  for (size_t i = 0; i < rows.size(); ++i) {
    ReadRow(writer, rows[i], fields.size(), rows_at.Element(i));
  }
  return writer.Finish();
}

DataPacket PacketFromJson(const json::value& json, const std::string& where) {
  return DataPacket::Decode(PacketJsonToBytes(json, JsonPlace{nullptr, where}));
}

}  // namespace tillbase::rpc

#include "shared/data_packet.h"

#include <bit>
#include <cstring>

namespace tillbase {
namespace {

constexpr uint8_t kMagic[] = {'T', 'B', 'P', 'K', 0x1A};
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = sizeof kMagic + 2;

constexpr uint8_t kFlagRequired = 1;
constexpr uint8_t kFlagReadOnly = 2;
constexpr uint8_t kFlagKey = 4;
constexpr uint8_t kFlagAutoInc = 8;
constexpr uint8_t kKnownFieldFlags = 15;
constexpr uint8_t kRowHasError = 1;

// Variant arrays nest; a bound on the depth keeps hostile bytes from
// exhausting the stack.
constexpr int kMaxNesting = 64;

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) { Le(v, 2); }
  void U32(uint32_t v) { Le(v, 4); }
  void I32(int32_t v) { Le(static_cast<uint32_t>(v), 4); }
  void I64(int64_t v) { Le(static_cast<uint64_t>(v), 8); }
  void U64(uint64_t v) { Le(v, 8); }
  void F64(double v) { Le(std::bit_cast<uint64_t>(v), 8); }
  void F32(float v) { Le(std::bit_cast<uint32_t>(v), 4); }
  void Count(size_t n, const char* what) {
    if (n > UINT32_MAX) throw PacketError(std::string("Data packet has too many ") + what);
    U32(static_cast<uint32_t>(n));
  }
  void Raw(const uint8_t* data, size_t n, const char* what) {
    Count(n, what);
    out_.insert(out_.end(), data, data + n);
  }
  void Text(std::string_view s) {
    Raw(reinterpret_cast<const uint8_t*>(s.data()), s.size(), "bytes in a text");
  }

 private:
  void Le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t>& out_;
};

void WriteHeader(Writer& w, PacketKind kind, const std::vector<PacketField>& fields) {
  if (static_cast<uint8_t>(kind) > 2) throw PacketError("Data packet has an unknown kind");
  for (uint8_t b : kMagic) w.U8(b);
  w.U8(kVersion);
  w.U8(static_cast<uint8_t>(kind));
  w.Count(fields.size(), "fields");
  for (const PacketField& f : fields) {
    w.Text(f.name);
    w.I32(f.data_type);
    w.I32(f.size);
    w.I32(f.precision);
    w.I32(f.scale);
    w.U8((f.required ? kFlagRequired : 0) | (f.read_only ? kFlagReadOnly : 0) |
         (f.key ? kFlagKey : 0) | (f.auto_increment ? kFlagAutoInc : 0));
  }
}

void WriteValue(Writer& w, const Variant& v, int depth) {
  if (depth > kMaxNesting) throw PacketError("Data packet value nests arrays too deeply");
  uint16_t type = v.type();
  w.U16(type);
  switch (type) {
    case VT_EMPTY:
    case VT_NULL:
      return;
    case VT_I2:
      w.U16(static_cast<uint16_t>(v.ToInt16()));
      return;
    case VT_I4:
      w.I32(v.ToInt32());
      return;
    case VT_I8:
      w.I64(v.ToInt64());
      return;
    case VT_UI1:
      w.U8(v.ToByte());
      return;
    case VT_BOOL:
      w.U8(v.ToBool() ? 1 : 0);
      return;
    case VT_R4:
      w.F32(static_cast<float>(v.ToDouble()));
      return;
    case VT_R8:
      w.F64(v.ToDouble());
      return;
    case VT_DATE:
      w.F64(v.ToDate());
      return;
    case VT_CY:
      w.I64(v.ToCurrency().scaled);
      return;
    case VT_DECIMAL: {
      Decimal d = v.ToDecimal();
      w.U8(d.negative ? 1 : 0);
      w.U8(d.scale);
      w.U32(d.hi32);
      w.U64(d.lo64);
      return;
    }
    case VT_BSTR:
      w.Text(v.StringValue());
      return;
    default:
      break;
  }
  if (v.IsCustom()) {
    w.Text(v.StringValue());
    return;
  }
  if (v.IsByteArray()) {
    const std::vector<uint8_t>& b = v.Bytes();
    w.Raw(b.data(), b.size(), "bytes in a byte array");
    return;
  }
  if (type == (VT_ARRAY | VT_VARIANT)) {
    const VariantArray& a = v.Array();
    w.I32(a.low_bound);
    w.Count(a.items.size(), "array elements");
    for (const Variant& item : a.items) WriteValue(w, item, depth + 1);
    return;
  }
  throw PacketError("Data packet cannot hold a value of type (" + VarTypeAsText(type) + ")");
}

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw PacketError("Malformed data packet: " + what + " at byte " + std::to_string(pos_));
  }
  size_t pos() const { return pos_; }
  size_t Remaining() const { return bytes_.size() - pos_; }
  void Need(size_t n, const char* what) {
    if (Remaining() < n) Fail(std::string("truncated ") + what);
  }
  uint8_t U8(const char* what) {
    Need(1, what);
    return bytes_[pos_++];
  }
  uint16_t U16(const char* what) { return static_cast<uint16_t>(Le(2, what)); }
  uint32_t U32(const char* what) { return static_cast<uint32_t>(Le(4, what)); }
  int32_t I32(const char* what) { return static_cast<int32_t>(U32(what)); }
  uint64_t U64(const char* what) { return Le(8, what); }
  int64_t I64(const char* what) { return static_cast<int64_t>(U64(what)); }
  // A count of items that take at least min_size bytes each: a count the
  // rest of the bytes cannot hold is malformed (and never allocated).
  uint32_t Count(size_t min_size, const char* what) {
    size_t at = pos_;
    uint32_t n = U32(what);
    if (static_cast<uint64_t>(n) * min_size > Remaining()) {
      pos_ = at;
      Fail(std::string(what) + " count " + std::to_string(n) + " exceeds the packet");
    }
    return n;
  }
  std::span<const uint8_t> Raw(const char* what) {
    uint32_t n = Count(1, what);
    std::span<const uint8_t> out = bytes_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  std::string Text(const char* what) {
    std::span<const uint8_t> raw = Raw(what);
    return std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
  }

 private:
  uint64_t Le(int n, const char* what) {
    Need(static_cast<size_t>(n), what);
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(bytes_[pos_ + i]) << (8 * i);
    pos_ += static_cast<size_t>(n);
    return v;
  }
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

Variant ReadValue(Reader& r, int depth) {
  if (depth > kMaxNesting) r.Fail("arrays nested too deeply");
  size_t at = r.pos();
  uint16_t type = r.U16("value type");
  switch (type) {
    case VT_EMPTY:
      return Variant();
    case VT_NULL:
      return Variant::Null();
    case VT_I2:
      return Variant(static_cast<int16_t>(r.U16("smallint value")));
    case VT_I4:
      return Variant(r.I32("integer value"));
    case VT_I8:
      return Variant(r.I64("int64 value"));
    case VT_UI1:
      return Variant(r.U8("byte value"));
    case VT_BOOL: {
      uint8_t b = r.U8("Boolean value");
      if (b > 1) r.Fail("Boolean value " + std::to_string(b));
      return Variant(b == 1);
    }
    case VT_R4:
      return Variant(std::bit_cast<float>(r.U32("single value")));
    case VT_R8:
      return Variant(std::bit_cast<double>(r.U64("double value")));
    case VT_DATE:
      return Variant::FromDate(std::bit_cast<double>(r.U64("date value")));
    case VT_CY:
      return Variant(Currency{r.I64("currency value")});
    case VT_DECIMAL: {
      Decimal d;
      uint8_t sign = r.U8("decimal sign");
      if (sign > 1) r.Fail("decimal sign " + std::to_string(sign));
      d.negative = sign == 1;
      d.scale = r.U8("decimal scale");
      if (d.scale > 28) r.Fail("decimal scale " + std::to_string(d.scale));
      d.hi32 = r.U32("decimal value");
      d.lo64 = r.U64("decimal value");
      return Variant(d);
    }
    case VT_BSTR:
      return Variant(r.Text("text value"));
    case VT_ARRAY | VT_UI1: {
      std::span<const uint8_t> raw = r.Raw("byte array");
      return Variant(std::vector<uint8_t>(raw.begin(), raw.end()));
    }
    case VT_ARRAY | VT_VARIANT: {
      VariantArray a;
      a.low_bound = r.I32("array bound");
      uint32_t n = r.Count(2, "array element");
      if (n > 0 && static_cast<int64_t>(a.low_bound) + n - 1 > INT32_MAX) {
        r.Fail("array bounds exceed 32 bits");
      }
      a.items.reserve(n);
      for (uint32_t i = 0; i < n; ++i) a.items.push_back(ReadValue(r, depth + 1));
      return Variant(std::move(a));
    }
    default:
      break;
  }
  if (type >= 0x0100 && (type & ~VT_TYPEMASK) == 0) {
    return Variant::Custom(type, r.Text("custom value"));
  }
  throw PacketError("Malformed data packet: unknown value type " + std::to_string(type) +
                    " at byte " + std::to_string(at));
}

void CheckRow(const DataPacket& p, size_t index) {
  const PacketRow& row = p.rows[index];
  auto fail = [&](const std::string& what) {
    throw PacketError("Data packet row " + std::to_string(index) + " " + what);
  };
  if (row.values.size() != p.fields.size()) {
    fail("has " + std::to_string(row.values.size()) + " values for " +
         std::to_string(p.fields.size()) + " fields");
  }
  if (row.state == RowState::kModified) {
    if (row.original.size() != p.fields.size()) {
      fail("has " + std::to_string(row.original.size()) + " original values for " +
           std::to_string(p.fields.size()) + " fields");
    }
  } else if (!row.original.empty()) {
    fail("has original values but is not modified");
  }
  if (static_cast<uint8_t>(row.state) > 3) fail("has an unknown state");
}

}  // namespace

std::string_view RowStateName(RowState state) {
  switch (state) {
    case RowState::kUnchanged:
      return "unchanged";
    case RowState::kInserted:
      return "inserted";
    case RowState::kModified:
      return "modified";
    case RowState::kDeleted:
      return "deleted";
  }
  return "unknown";
}

int DataPacket::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string& f = fields[i].name;
    if (f.size() != name.size()) continue;
    bool same = true;
    for (size_t k = 0; k < f.size() && same; ++k) same = AsciiUpper(f[k]) == AsciiUpper(name[k]);
    if (same) return static_cast<int>(i);
  }
  return -1;
}

std::vector<uint8_t> DataPacket::Encode() const {
  std::vector<uint8_t> out;
  Writer w(out);
  WriteHeader(w, kind, fields);
  w.Count(rows.size(), "rows");
  for (size_t i = 0; i < rows.size(); ++i) {
    CheckRow(*this, i);
    const PacketRow& row = rows[i];
    w.U8(static_cast<uint8_t>(row.state));
    w.U8(row.has_error ? kRowHasError : 0);
    for (const Variant& v : row.values) WriteValue(w, v, 0);
    for (const Variant& v : row.original) WriteValue(w, v, 0);
    if (row.has_error) {
      w.I32(row.error_code);
      w.Text(row.error_message);
    } else if (row.error_code != 0 || !row.error_message.empty()) {
      throw PacketError("Data packet row " + std::to_string(i) +
                        " has an error message but is not marked as failed");
    }
  }
  return out;
}

PacketWriter::PacketWriter(PacketKind kind, const std::vector<PacketField>& fields)
    : field_count_(fields.size()) {
  Writer w(out_);
  WriteHeader(w, kind, fields);
  row_count_at_ = out_.size();
  w.U32(0);  // the row count, known at Finish
}

void PacketWriter::AddRow(const std::vector<Variant>& values, std::span<const int> columns) {
  if (columns.size() != field_count_) {
    throw PacketError("Data packet row " + std::to_string(rows_) + " has " +
                      std::to_string(columns.size()) + " values for " +
                      std::to_string(field_count_) + " fields");
  }
  if (rows_ == UINT32_MAX) throw PacketError("Data packet has too many rows");
  Writer w(out_);
  w.U8(static_cast<uint8_t>(RowState::kUnchanged));
  w.U8(0);
  for (int c : columns) WriteValue(w, values.at(static_cast<size_t>(c)), 0);
  ++rows_;
}

std::vector<uint8_t> PacketWriter::Finish() {
  for (int i = 0; i < 4; ++i) out_[row_count_at_ + i] = static_cast<uint8_t>(rows_ >> (8 * i));
  return std::move(out_);
}

DataPacket DataPacket::Decode(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    throw PacketError("Malformed data packet: no packet header");
  }
  if (bytes[sizeof kMagic] != kVersion) {
    throw PacketError("Malformed data packet: unknown version " +
                      std::to_string(bytes[sizeof kMagic]));
  }
  Reader r(bytes);
  for (size_t i = 0; i < sizeof kMagic + 1; ++i) r.U8("header");
  DataPacket p;
  uint8_t kind = r.U8("kind");
  if (kind > 2) r.Fail("unknown packet kind " + std::to_string(kind));
  p.kind = static_cast<PacketKind>(kind);
  // A field takes at least 21 bytes: name length, four integers, flags.
  uint32_t field_count = r.Count(21, "field");
  p.fields.reserve(field_count);
  for (uint32_t i = 0; i < field_count; ++i) {
    PacketField f;
    f.name = r.Text("field name");
    f.data_type = r.I32("field type");
    f.size = r.I32("field size");
    f.precision = r.I32("field precision");
    f.scale = r.I32("field scale");
    uint8_t flags = r.U8("field flags");
    if (flags & ~kKnownFieldFlags) r.Fail("unknown field flags " + std::to_string(flags));
    f.required = flags & kFlagRequired;
    f.read_only = flags & kFlagReadOnly;
    f.key = flags & kFlagKey;
    f.auto_increment = flags & kFlagAutoInc;
    p.fields.push_back(std::move(f));
  }
  // A row takes at least its two header bytes and two per value.
  uint32_t row_count = r.Count(2 + 2 * static_cast<size_t>(field_count), "row");
  p.rows.reserve(row_count);
  for (uint32_t i = 0; i < row_count; ++i) {
    PacketRow row;
    uint8_t state = r.U8("row state");
    if (state > 3) r.Fail("unknown row state " + std::to_string(state));
    row.state = static_cast<RowState>(state);
    uint8_t flags = r.U8("row flags");
    if (flags & ~kRowHasError) r.Fail("unknown row flags " + std::to_string(flags));
    row.has_error = flags & kRowHasError;
    row.values.reserve(field_count);
    for (uint32_t k = 0; k < field_count; ++k) row.values.push_back(ReadValue(r, 0));
    if (row.state == RowState::kModified) {
      row.original.reserve(field_count);
      for (uint32_t k = 0; k < field_count; ++k) row.original.push_back(ReadValue(r, 0));
    }
    if (row.has_error) {
      row.error_code = r.I32("error code");
      row.error_message = r.Text("error message");
    }
    p.rows.push_back(std::move(row));
  }
  if (r.Remaining() != 0) r.Fail(std::to_string(r.Remaining()) + " bytes after the last row");
  return p;
}

DataPacket DataPacket::FromVariant(const Variant& value) {
  if (!value.IsByteArray()) {
    throw PacketError("A data packet is a byte array, not a variant of type (" +
                      VarTypeAsText(value.type()) + ")");
  }
  return Decode(std::span(value.Bytes()));
}

bool IsPacket(std::span<const uint8_t> bytes) {
  return bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0 &&
         bytes[sizeof kMagic] == kVersion;
}

bool IsPacket(const std::vector<uint8_t>& bytes) { return IsPacket(std::span(bytes)); }

bool IsPacket(const Variant& value) { return value.IsByteArray() && IsPacket(value.Bytes()); }

}  // namespace tillbase

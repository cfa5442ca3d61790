#include "shared/data_packet.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "shared/packet_format.h"
#include "shared/packet_reader.h"

namespace tillbase {
using namespace packet_format;
namespace {

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Appends to a byte vector that grows ahead of what is written (by
// doubling, without a resize per value); `len` is the written length, to
// which the owner cuts the vector once it is done.
class Writer {
 public:
  Writer(std::vector<uint8_t>& out, size_t& len) : out_(out), len_(len) {}

  void U8(uint8_t v) { Le<1>(v); }
  void U16(uint16_t v) { Le<2>(v); }
  void U32(uint32_t v) { Le<4>(v); }
  void I32(int32_t v) { Le<4>(static_cast<uint32_t>(v)); }
  void I64(int64_t v) { Le<8>(static_cast<uint64_t>(v)); }
  void U64(uint64_t v) { Le<8>(v); }
  void F64(double v) { Le<8>(std::bit_cast<uint64_t>(v)); }
  void F32(float v) { Le<4>(std::bit_cast<uint32_t>(v)); }
  void Count(size_t n, const char* what) {
    if (n > UINT32_MAX) throw PacketError(std::string("Data packet has too many ") + what);
    U32(static_cast<uint32_t>(n));
  }
  void Raw(const uint8_t* data, size_t n, const char* what) {
    Count(n, what);
    Put(data, n);
  }
  void Text(std::string_view s) {
    Raw(reinterpret_cast<const uint8_t*>(s.data()), s.size(), "bytes in a text");
  }

 private:
  void Ensure(size_t n) {
    if (out_.size() - len_ < n) out_.resize(std::max(len_ + n, out_.size() * 2 + 256));
  }
  void Put(const void* data, size_t n) {
    Ensure(n);
    if (n > 0) std::memcpy(out_.data() + len_, data, n);
    len_ += n;
  }
  template <int N>
  void Le(uint64_t v) {
    Ensure(N);
    uint8_t* to = out_.data() + len_;
    for (int i = 0; i < N; ++i) to[i] = static_cast<uint8_t>(v >> (8 * i));
    len_ += N;
  }
  std::vector<uint8_t>& out_;
  size_t& len_;
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

// A value read from the v.bytes as a variant; not for variant arrays (their
// elements follow). Here, not with the reader: every decoded value passes.
inline Variant VariantOf(const PacketValue& v) {
  switch (v.type) {
    case VT_EMPTY:
      return Variant();
    case VT_NULL:
      return Variant::Null();
    case VT_I2:
      return Variant(static_cast<int16_t>(v.integer));
    case VT_I4:
      return Variant(static_cast<int32_t>(v.integer));
    case VT_I8:
      return Variant(static_cast<int64_t>(v.integer));
    case VT_UI1:
      return Variant(static_cast<uint8_t>(v.integer));
    case VT_BOOL:
      return Variant(v.integer != 0);
    case VT_R4:
      return Variant(v.single);
    case VT_R8:
      return Variant(v.real);
    case VT_DATE:
      return Variant::FromDate(v.real);
    case VT_CY:
      return Variant(Currency{v.integer});
    case VT_DECIMAL:
      return Variant(v.decimal);
    case VT_BSTR:
      return Variant(v.text);
    case VT_ARRAY | VT_UI1:
      return Variant(std::vector<uint8_t>(v.bytes.begin(), v.bytes.end()));
    default:
      return Variant::Custom(v.type, std::string(v.text));
  }
}

Variant ReadVariant(PacketReader& r, int depth) {
  PacketValue v;
  r.ReadValue(v, depth);
  if (v.type != (VT_ARRAY | VT_VARIANT)) return VariantOf(v);
  VariantArray a;
  a.low_bound = v.low_bound;
  a.items.reserve(v.count);
  for (uint32_t i = 0; i < v.count; ++i) a.items.push_back(ReadVariant(r, depth + 1));
  return Variant(std::move(a));
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
  size_t len = 0;
  Writer w(out, len);
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
  out.resize(len);
  return out;
}

PacketWriter::PacketWriter(PacketKind kind, const std::vector<PacketField>& fields)
    : field_count_(fields.size()) {
  Writer w(out_, len_);
  WriteHeader(w, kind, fields);
  row_count_at_ = len_;
  w.U32(0);  // the row count, known at Finish
}

void PacketWriter::AddRow(const std::vector<Variant>& values, std::span<const int> columns) {
  if (columns.size() != field_count_) {
    throw PacketError("Data packet row " + std::to_string(rows_) + " has " +
                      std::to_string(columns.size()) + " values for " +
                      std::to_string(field_count_) + " fields");
  }
  BeginRow(RowState::kUnchanged, false);
  Writer w(out_, len_);
  for (int c : columns) WriteValue(w, values.at(static_cast<size_t>(c)), 0);
}

void PacketWriter::BeginRow(RowState state, bool has_error) {
  if (rows_ == UINT32_MAX) throw PacketError("Data packet has too many rows");
  if (static_cast<uint8_t>(state) > 3) throw PacketError("Data packet row has an unknown state");
  Writer w(out_, len_);
  w.U8(static_cast<uint8_t>(state));
  w.U8(has_error ? kRowHasError : 0);
  ++rows_;
}

void PacketWriter::AddValue(const Variant& value) {
  Writer w(out_, len_);
  WriteValue(w, value, 0);
}

void PacketWriter::AddNull() {
  Writer w(out_, len_);
  w.U16(VT_NULL);
}

void PacketWriter::AddBool(bool value) {
  Writer w(out_, len_);
  w.U16(VT_BOOL);
  w.U8(value ? 1 : 0);
}

void PacketWriter::AddInt32(int32_t value) {
  Writer w(out_, len_);
  w.U16(VT_I4);
  w.I32(value);
}

void PacketWriter::AddDouble(double value) {
  Writer w(out_, len_);
  w.U16(VT_R8);
  w.F64(value);
}

void PacketWriter::AddText(std::string_view text) {
  Writer w(out_, len_);
  w.U16(VT_BSTR);
  w.Text(text);
}

void PacketWriter::AddInt64(int64_t value) {
  Writer w(out_, len_);
  w.U16(VT_I8);
  w.I64(value);
}

void PacketWriter::AddBytes(std::span<const uint8_t> bytes) {
  Writer w(out_, len_);
  w.U16(VT_ARRAY | VT_UI1);
  w.Raw(bytes.data(), bytes.size(), "bytes in a byte array");
}

void PacketWriter::EndRowWithError(int32_t code, std::string_view message) {
  Writer w(out_, len_);
  w.I32(code);
  w.Text(message);
}

std::vector<uint8_t> PacketWriter::Finish() {
  out_.resize(len_);
  for (int i = 0; i < 4; ++i) out_[row_count_at_ + i] = static_cast<uint8_t>(rows_ >> (8 * i));
  return std::move(out_);
}

DataPacket DataPacket::Decode(std::span<const uint8_t> bytes) {
  PacketReader r(bytes);
  DataPacket p;
  p.kind = r.kind();
  p.fields = r.fields();
  const size_t field_count = p.fields.size();
  p.rows.reserve(r.row_count());
  for (uint32_t i = 0; i < r.row_count(); ++i) {
    PacketRow row;
    PacketRowHeader header = r.ReadRowHeader();
    row.state = header.state;
    row.has_error = header.has_error;
    row.values.reserve(field_count);
    for (size_t k = 0; k < field_count; ++k) row.values.push_back(ReadVariant(r, 0));
    if (row.state == RowState::kModified) {
      row.original.reserve(field_count);
      for (size_t k = 0; k < field_count; ++k) row.original.push_back(ReadVariant(r, 0));
    }
    if (row.has_error) {
      std::string_view message;
      r.ReadRowError(row.error_code, message);
      row.error_message = std::string(message);
    }
    p.rows.push_back(std::move(row));
  }
  r.Finish();
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

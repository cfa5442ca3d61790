#include "shared/packet_reader.h"

#include <bit>
#include <cstring>
#include <string>

#include "shared/packet_format.h"

namespace tillbase {
using namespace packet_format;

PacketReader::PacketReader(std::span<const uint8_t> bytes) : bytes_(bytes) {
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    throw PacketError("Malformed data packet: no packet header");
  }
  if (bytes[sizeof kMagic] != kVersion) {
    throw PacketError("Malformed data packet: unknown version " +
                      std::to_string(bytes[sizeof kMagic]));
  }
  pos_ = sizeof kMagic + 1;
  uint8_t kind = U8("kind");
  if (kind > 2) Fail("unknown packet kind " + std::to_string(kind));
  kind_ = static_cast<PacketKind>(kind);
  // A field takes at least 21 bytes: name length, four integers, flags.
  uint32_t field_count = Count(21, "field");
  fields_.reserve(field_count);
  for (uint32_t i = 0; i < field_count; ++i) {
    PacketField f;
    f.name = std::string(Text("field name"));
    f.data_type = static_cast<int32_t>(Le(4, "field type"));
    f.size = static_cast<int32_t>(Le(4, "field size"));
    f.precision = static_cast<int32_t>(Le(4, "field precision"));
    f.scale = static_cast<int32_t>(Le(4, "field scale"));
    uint8_t flags = U8("field flags");
    if (flags & ~kKnownFieldFlags) Fail("unknown field flags " + std::to_string(flags));
    f.required = flags & kFlagRequired;
    f.read_only = flags & kFlagReadOnly;
    f.key = flags & kFlagKey;
    f.auto_increment = flags & kFlagAutoInc;
    fields_.push_back(std::move(f));
  }
  // A row takes at least its two header bytes and two per value.
  row_count_ = Count(2 + 2 * static_cast<size_t>(field_count), "row");
}

PacketRowHeader PacketReader::ReadRowHeader() {
  PacketRowHeader row;
  uint8_t state = U8("row state");
  if (state > 3) Fail("unknown row state " + std::to_string(state));
  row.state = static_cast<RowState>(state);
  uint8_t flags = U8("row flags");
  if (flags & ~kRowHasError) Fail("unknown row flags " + std::to_string(flags));
  row.has_error = flags & kRowHasError;
  return row;
}

void PacketReader::ReadValue(PacketValue& v, int depth) {
  if (depth > kMaxNesting) Fail("arrays nested too deeply");
  size_t at = pos_;
  v.type = static_cast<uint16_t>(Le(2, "value type"));
  switch (v.type) {
    case VT_EMPTY:
    case VT_NULL:
      return;
    case VT_I2:
      v.integer = static_cast<int16_t>(Le(2, "smallint value"));
      return;
    case VT_I4:
      v.integer = static_cast<int32_t>(Le(4, "integer value"));
      return;
    case VT_I8:
      v.integer = static_cast<int64_t>(Le(8, "int64 value"));
      return;
    case VT_UI1:
      v.integer = U8("byte value");
      return;
    case VT_BOOL: {
      uint8_t b = U8("Boolean value");
      if (b > 1) Fail("Boolean value " + std::to_string(b));
      v.integer = b;
      return;
    }
    case VT_R4:
      v.single = std::bit_cast<float>(static_cast<uint32_t>(Le(4, "single value")));
      return;
    case VT_R8:
      v.real = std::bit_cast<double>(Le(8, "double value"));
      return;
    case VT_DATE:
      v.real = std::bit_cast<double>(Le(8, "date value"));
      return;
    case VT_CY:
      v.integer = static_cast<int64_t>(Le(8, "currency value"));
      return;
    case VT_DECIMAL: {
      uint8_t sign = U8("decimal sign");
      if (sign > 1) Fail("decimal sign " + std::to_string(sign));
      v.decimal.negative = sign == 1;
      v.decimal.scale = U8("decimal scale");
      if (v.decimal.scale > 28) Fail("decimal scale " + std::to_string(v.decimal.scale));
      v.decimal.hi32 = static_cast<uint32_t>(Le(4, "decimal value"));
      v.decimal.lo64 = Le(8, "decimal value");
      return;
    }
    case VT_BSTR:
      v.text = Text("text value");
      return;
    case VT_ARRAY | VT_UI1:
      v.bytes = Raw("byte array");
      return;
    case VT_ARRAY | VT_VARIANT: {
      v.low_bound = static_cast<int32_t>(Le(4, "array bound"));
      v.count = Count(2, "array element");
      if (v.count > 0 && static_cast<int64_t>(v.low_bound) + v.count - 1 > INT32_MAX) {
        Fail("array bounds exceed 32 bits");
      }
      return;
    }
    default:
      break;
  }
  if (v.type >= 0x0100 && (v.type & ~VT_TYPEMASK) == 0) {
    v.text = Text("custom value");
    return;
  }
  throw PacketError("Malformed data packet: unknown value type " + std::to_string(v.type) +
                    " at byte " + std::to_string(at));
}

void PacketReader::ReadRowError(int32_t& code, std::string_view& message) {
  code = static_cast<int32_t>(Le(4, "error code"));
  message = Text("error message");
}

void PacketReader::Finish() {
  if (pos_ != bytes_.size()) {
    Fail(std::to_string(bytes_.size() - pos_) + " bytes after the last row");
  }
}

void PacketReader::Fail(const std::string& what) const {
  throw PacketError("Malformed data packet: " + what + " at byte " + std::to_string(pos_));
}

void PacketReader::Truncated(const char* what) const { Fail(std::string("truncated ") + what); }

// A count of items that take at least min_size bytes each: a count the rest
// of the bytes cannot hold is malformed (and never allocated).
uint32_t PacketReader::Count(size_t min_size, const char* what) {
  size_t at = pos_;
  uint32_t n = static_cast<uint32_t>(Le(4, what));
  if (static_cast<uint64_t>(n) * min_size > bytes_.size() - pos_) {
    pos_ = at;
    Fail(std::string(what) + " count " + std::to_string(n) + " exceeds the packet");
  }
  return n;
}

std::span<const uint8_t> PacketReader::Raw(const char* what) {
  uint32_t n = Count(1, what);
  std::span<const uint8_t> out = bytes_.subspan(pos_, n);
  pos_ += n;
  return out;
}

std::string_view PacketReader::Text(const char* what) {
  std::span<const uint8_t> raw = Raw(what);
  return std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size());
}

}  // namespace tillbase

// Reads a data packet's bytes in place, field definitions first, then row by
// row and value by value, without building the packet: the one decoder
// behind DataPacket::Decode and whatever streams a packet into another form
// (the wire's JSON). It accepts exactly what the encoder writes and raises
// PacketError naming the fault and its byte offset otherwise.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "shared/data_packet.h"

namespace tillbase {

// One value as it stands in the bytes. Texts and byte arrays point into the
// packet; a variant array gives its bound and count, and its elements are
// the next `count` values read.
struct PacketValue {
  uint16_t type = VT_EMPTY;
  int64_t integer = 0;  // I2, I4, I8, UI1, Boolean (0 or 1), Currency (scaled)
  double real = 0;      // R8, Date
  float single = 0;     // R4
  Decimal decimal;
  std::string_view text;           // BSTR and custom kinds
  std::span<const uint8_t> bytes;  // byte array
  int32_t low_bound = 0;           // variant array
  uint32_t count = 0;              // variant array
};

struct PacketRowHeader {
  RowState state = RowState::kUnchanged;
  bool has_error = false;
};

class PacketReader {
 public:
  // Reads the header and the field definitions.
  explicit PacketReader(std::span<const uint8_t> bytes);

  PacketKind kind() const { return kind_; }
  const std::vector<PacketField>& fields() const { return fields_; }
  uint32_t row_count() const { return row_count_; }

  // A row is its header, one value per field (a modified row: then one
  // original value per field) and, when it has an error, ReadRowError.
  PacketRowHeader ReadRowHeader();
  // `depth`: how deep inside variant arrays the value is (0 for a field's).
  // Sets the type and the members that type uses; the others keep what
  // they held (a reader reuses one PacketValue for every value).
  void ReadValue(PacketValue& v, int depth = 0);
  void ReadRowError(int32_t& code, std::string_view& message);
  // After the last row: raises when bytes are left over.
  void Finish();

 private:
  [[noreturn]] void Fail(const std::string& what) const;
  [[noreturn]] void Truncated(const char* what) const;
  // Inline: every value passes here.
  void Need(size_t n, const char* what) {
    if (bytes_.size() - pos_ < n) Truncated(what);
  }
  uint8_t U8(const char* what) {
    Need(1, what);
    return bytes_[pos_++];
  }
  uint64_t Le(int n, const char* what) {
    Need(static_cast<size_t>(n), what);
    uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&v, bytes_.data() + pos_, static_cast<size_t>(n));
    } else {
      for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(bytes_[pos_ + i]) << (8 * i);
    }
    pos_ += static_cast<size_t>(n);
    return v;
  }
  uint32_t Count(size_t min_size, const char* what);
  std::span<const uint8_t> Raw(const char* what);
  std::string_view Text(const char* what);

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  PacketKind kind_ = PacketKind::kData;
  std::vector<PacketField> fields_;
  uint32_t row_count_ = 0;
};

}  // namespace tillbase

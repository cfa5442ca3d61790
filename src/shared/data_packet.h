// The data packet: a self-describing record set that providers deliver and
// that clients send back as a delta of their edits. A packet travels inside
// a Variant as a byte array (VT_ARRAY | VT_UI1), so it passes through every
// layer that carries variants unchanged; the bytes start with a magic header
// that tells a packet from any other byte array.
//
// Encoding (all integers little-endian):
//   header   "TBPK" 0x1A, version 1, kind (0 data, 1 delta, 2 errors)
//   fields   u32 count; per field: text name, i32 data type code, i32 size,
//            i32 precision, i32 scale, u8 flags (1 required, 2 read-only,
//            4 key, 8 auto-increment)
//   rows     u32 count; per row: u8 state (0 unchanged, 1 inserted,
//            2 modified, 3 deleted), u8 row flags (1 has error), one value
//            per field, for a modified row one original value per field,
//            with an error i32 code and text message
//   value    u16 variant type code, then its payload: nothing (Empty, Null),
//            i16 / i32 / i64 / u8 (I2, I4, I8, UI1), u8 0|1 (Boolean),
//            f32 / f64 bits (R4; R8 and Date), i64 (Currency scaled),
//            u8 sign, u8 scale, u32 high, u64 low (Decimal), text (strings
//            and custom kinds), u32 length + bytes (byte array),
//            i32 low bound, u32 count, values (variant array)
//   text     u32 length + UTF-8 bytes
// The encoding is canonical: decoding accepts only what Encode writes, so
// Encode(Decode(bytes)) gives the same bytes back.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "shared/variant.h"

namespace tillbase {

// Malformed packet bytes or a packet that cannot be written; what() names
// the fault (and for bytes the offset where it was found).
class PacketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PacketField {
  std::string name;
  int32_t data_type = 0;  // data type code (the ftXXX list)
  int32_t size = 0;
  int32_t precision = 0;
  int32_t scale = 0;
  bool required = false;
  bool read_only = false;
  bool key = false;
  bool auto_increment = false;
  friend bool operator==(const PacketField&, const PacketField&) = default;
};

enum class RowState : uint8_t { kUnchanged = 0, kInserted = 1, kModified = 2, kDeleted = 3 };

// "unchanged", "inserted", "modified", "deleted".
std::string_view RowStateName(RowState state);

struct PacketRow {
  RowState state = RowState::kUnchanged;
  // One value per field. A modified row: the values after the edit; a
  // deleted row: the values it had.
  std::vector<Variant> values;
  // A modified row: the values before the edit (one per field); empty for
  // every other state.
  std::vector<Variant> original;
  // Rows of an error packet: why the row could not be applied.
  bool has_error = false;
  int32_t error_code = 0;
  std::string error_message;
  friend bool operator==(const PacketRow&, const PacketRow&) = default;
};

enum class PacketKind : uint8_t { kData = 0, kDelta = 1, kErrors = 2 };

struct DataPacket {
  PacketKind kind = PacketKind::kData;
  std::vector<PacketField> fields;
  std::vector<PacketRow> rows;

  // The position of a field by name without regard to ASCII case; -1 when
  // there is none.
  int FieldIndex(std::string_view name) const;

  // Raises PacketError when a row's value count does not match the fields
  // or a value kind has no encoding.
  std::vector<uint8_t> Encode() const;
  // Raises PacketError naming the fault and its byte offset.
  static DataPacket Decode(std::span<const uint8_t> bytes);

  // The packet as the byte-array variant that crosses the interface.
  Variant ToVariant() const { return Variant(Encode()); }
  // Raises PacketError when the variant is no byte array holding a packet.
  static DataPacket FromVariant(const Variant& value);

  friend bool operator==(const DataPacket&, const DataPacket&) = default;
};

// Writes a data packet row by row as the rows are read, without holding
// them: the bytes equal DataPacket::Encode of the same fields and rows.
class PacketWriter {
 public:
  PacketWriter(PacketKind kind, const std::vector<PacketField>& fields);
  // One unchanged row: values[columns[i]] for every field i.
  void AddRow(const std::vector<Variant>& values, std::span<const int> columns);

  // A row of any state, value by value: BeginRow, one value per field (a
  // modified row: then one original value per field), and for a row with
  // an error EndRowWithError. The caller keeps to that shape; the writer
  // does not count the values.
  void BeginRow(RowState state, bool has_error);
  void AddValue(const Variant& value);
  // The same as AddValue of a Null, VT_BOOL, VT_I4, VT_R8 or VT_BSTR value.
  void AddNull();
  void AddBool(bool value);
  void AddInt32(int32_t value);
  void AddDouble(double value);
  void AddText(std::string_view text);
  void AddInt64(int64_t value);                   // VT_I8
  void AddBytes(std::span<const uint8_t> bytes);  // a byte array
  void EndRowWithError(int32_t code, std::string_view message);
  uint32_t rows() const { return rows_; }
  // The packet's bytes; the writer is spent.
  std::vector<uint8_t> Finish();

 private:
  std::vector<uint8_t> out_;  // longer than written while writing
  size_t len_ = 0;            // the bytes written
  size_t row_count_at_ = 0;
  size_t field_count_ = 0;
  uint32_t rows_ = 0;
};

// Whether the bytes start with the packet header (magic and a known
// version). Says nothing about the rest: Decode checks that.
bool IsPacket(std::span<const uint8_t> bytes);
bool IsPacket(const std::vector<uint8_t>& bytes);
bool IsPacket(const Variant& value);

}  // namespace tillbase

// The two encodings of procedure parameters that cross the session
// interface, and the codes they carry.
//
// Packed parameter list: a variant array [0..n-1] of entries, each an array
// [0..6] = name, value, data type code, kind, size, precision, numeric scale.
// Procedure parameter array: a variant array [0..N-1] of entries [0..3] =
// name, value, data type code, direction code; entry 0 is the return value.
// Its entries are the first four elements of a packed entry, so it can be
// read wherever a packed list is read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shared/variant.h"

namespace tillbase {

// Data type codes: the ordinals of the field data types.
enum FieldType : int {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
  ftTimeStamp = 36,
  ftFMTBcd = 37,
};
inline constexpr int kFieldTypeCount = 38;

// "ftString" for 1, ...; "" for a code outside 0..37.
std::string_view FieldTypeName(int code);

// Direction codes of procedure parameters.
enum ParamDirection : int {
  pdUnknown = 0,
  pdInput = 1,
  pdOutput = 2,
  pdInputOutput = 3,
  pdReturnValue = 4,
};

// The kind of a packed-list entry: the same ordinals as the direction codes,
// so one is written where the other is expected.
enum ParamType : int {
  ptUnknown = 0,
  ptInput = 1,
  ptOutput = 2,
  ptInputOutput = 3,
  ptResult = 4,
};

// One entry of a packed parameter list. Unread elements keep these defaults.
struct ParamEntry {
  std::string name;
  Variant value = Variant::Null();
  int data_type = ftUnknown;
  int kind = ptUnknown;
  int size = 0;
  int precision = 0;
  int numeric_scale = 0;
  friend bool operator==(const ParamEntry&, const ParamEntry&) = default;
};

// Writes a packed parameter list: every entry with all seven elements; an
// empty list gives Null; a value of a custom variant kind is written as its
// text.
Variant PackParams(const std::vector<ParamEntry>& entries);

// Reads a packed parameter list (or a procedure parameter array). Null, a
// non-array, an array without elements or an array whose element 0 is not an
// array give an empty list; an array with elements but none at index 0
// raises "Variant or safe array index out of bounds".
// Of every entry the name and value are read; the data type code only if the
// entry's upper bound exceeds 1, the kind if it exceeds 2, size if 3,
// precision if 4, numeric scale if 5. An entry that is not itself an array
// raises "Invalid argument"; a name or code that does not convert raises the
// conversion error.
std::vector<ParamEntry> UnpackParams(const Variant& list);

// The first supplied entry whose name equals `name` without regard to ASCII
// case, or nullptr.
const ParamEntry* FindParam(const std::vector<ParamEntry>& entries, std::string_view name);

// One parameter of a procedure's parameter list.
struct ProcParam {
  std::string name;
  Variant value;
  int data_type = ftUnknown;
  int direction = pdUnknown;
  friend bool operator==(const ProcParam&, const ProcParam&) = default;
};

// The procedure parameter array entry [name, value, data type, direction].
Variant MakeProcParamEntry(const ProcParam& param);
// The procedure parameter array of a parameter list (return value at 0);
// Null for a list without parameters.
Variant MakeProcParamArray(const std::vector<ProcParam>& params);

// What ApplyProcParamArray writes to: a procedure's parameter list.
class ProcParamTarget {
 public:
  virtual ~ProcParamTarget() = default;
  // The parameter's name; raises the list's own index error for a position
  // beyond the list.
  virtual std::string ParamName(int position) = 0;
  virtual void SetValue(int position, const Variant& value) = 0;
  virtual void SetDataType(int position, int data_type) = 0;
  virtual void SetDirection(int position, int direction) = 0;
};

// Applies a procedure parameter array to a parameter list by position:
// nothing for Null, a non-array or an array whose element 1 is not an array;
// "Variant or safe array index out of bounds" for an array without element 1.
// For every position i from 1 to the upper bound: value := A[i][1], data
// type := A[i][2] (BCD becomes float), direction := A[i][3]. A failure of any
// of the three, or a value that does not convert to a number, date or
// Boolean type it is given, raises
// "执行存储过程失败。\r\r过程参数 '<name>' 的数据类型与传入值的数据类型不一致。"
// with the list's parameter name. A[0] and the names A[i][0] are not read.
void ApplyProcParamArray(const Variant& array, ProcParamTarget& target);

}  // namespace tillbase

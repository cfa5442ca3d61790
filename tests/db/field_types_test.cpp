#include "db/field_types.h"

#include <gtest/gtest.h>

#include "shared/proc_params.h"

namespace tillbase::db {
namespace {

struct TypeCase {
  SqlTypeDesc type;
  int field_bcd_on;
  int field_bcd_off;
  int param;
  int size;  // as a field with BCD on
};

TEST(FieldTypes, SqlServerTypesMapToTheirCodes) {
  const TypeCase cases[] = {
      {{"bit"}, ftBoolean, ftBoolean, ftBoolean, 0},
      {{"tinyint"}, ftWord, ftWord, ftWord, 0},
      {{"smallint"}, ftSmallint, ftSmallint, ftSmallint, 0},
      {{"int"}, ftInteger, ftInteger, ftInteger, 0},
      {{"int identity"}, ftInteger, ftInteger, ftInteger, 0},
      {{"bigint"}, ftLargeint, ftLargeint, ftLargeint, 0},
      {{"numeric", 0, 18, 4}, ftBCD, ftFloat, ftBCD, 4},
      {{"decimal", 0, 38, 10}, ftFMTBcd, ftFloat, ftBCD, 10},
      {{"money", 0, 19, 4}, ftBCD, ftFloat, ftBCD, 4},
      {{"smallmoney", 0, 10, 4}, ftBCD, ftFloat, ftBCD, 4},
      {{"float"}, ftFloat, ftFloat, ftFloat, 0},
      {{"real"}, ftFloat, ftFloat, ftFloat, 0},
      {{"char", 10}, ftFixedChar, ftFixedChar, ftFixedChar, 10},
      {{"varchar", 50}, ftString, ftString, ftString, 50},
      {{"varchar", -1}, ftMemo, ftMemo, ftMemo, 0},
      {{"nvarchar", 30}, ftWideString, ftWideString, ftWideString, 30},
      {{"nvarchar", -1}, ftMemo, ftMemo, ftMemo, 0},
      {{"text", -1}, ftMemo, ftMemo, ftMemo, 0},
      {{"ntext", -1}, ftMemo, ftMemo, ftMemo, 0},
      {{"datetime"}, ftDateTime, ftDateTime, ftDateTime, 0},
      {{"smalldatetime"}, ftDateTime, ftDateTime, ftDateTime, 0},
      {{"date"}, ftDate, ftDate, ftDate, 0},
      {{"time"}, ftTime, ftTime, ftTime, 0},
      {{"uniqueidentifier"}, ftGuid, ftGuid, ftGuid, 38},
      {{"binary", 8}, ftBytes, ftBytes, ftBytes, 8},
      {{"varbinary", 16}, ftVarBytes, ftVarBytes, ftVarBytes, 16},
      {{"varbinary", -1}, ftBlob, ftBlob, ftBlob, 0},
      {{"image", -1}, ftBlob, ftBlob, ftBlob, 0},
      {{"sql_variant"}, ftVariant, ftVariant, ftVariant, 0},
      {{"NVarChar(20)", 20}, ftWideString, ftWideString, ftWideString, 20},
      {{"no_such_type"}, ftUnknown, ftUnknown, ftUnknown, 0},
  };
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(c.type.name);
    EXPECT_EQ(FieldTypeOf(c.type, true), c.field_bcd_on);
    EXPECT_EQ(FieldTypeOf(c.type, false), c.field_bcd_off);
    EXPECT_EQ(ParamTypeOf(c.type), c.param);
    EXPECT_EQ(FieldSizeOf(c.type, c.field_bcd_on), c.size);
  }
}

TEST(FieldTypes, NormalisesDriverSpellings) {
  EXPECT_EQ(NormaliseTypeName("INT IDENTITY"), "int");
  EXPECT_EQ(NormaliseTypeName("numeric(18,4)"), "numeric");
  EXPECT_EQ(NormaliseTypeName(" varchar "), "varchar");
  EXPECT_TRUE(IsExactDecimal("Money"));
  EXPECT_FALSE(IsExactDecimal("float"));
}

}  // namespace
}  // namespace tillbase::db

// The function library on a plain in-memory SQLite database, called the way
// translated statements call it. In the SQL below, {decl} stands for the
// type code of a declaration, e.g. {decimal(10,2)}.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/errors.h"
#include "engine/sql/arith.h"
#include "engine/sql/convert.h"
#include "engine/sql/datetime.h"
#include "engine/sql/functions.h"
#include "engine/sql/text.h"
#include "engine/sql/types.h"

namespace tillbase::engine::sql {
namespace {

struct Case {
  const char* sql;
  const char* expected;  // the value as text, "NULL", or "E<number>: <message>"
};

class SqlFunctionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    settings_.now = [] {
      CivilTime c{2024, 2, 29, 13, 45, 30, 123};
      return MicrosFromCivil(c);
    };
    RegisterFunctions(db_, &settings_);
  }
  void TearDown() override { sqlite3_close(db_); }

  static std::string Expand(const std::string& sql) {
    std::string out;
    for (size_t i = 0; i < sql.size(); ++i) {
      if (sql[i] == '{') {
        size_t close = sql.find('}', i);
        out += std::to_string(EncodeType(ParseDecl(sql.substr(i + 1, close - i - 1))));
        i = close;
      } else {
        out += sql[i];
      }
    }
    return out;
  }

  // The first column of the first row, as text.
  std::string Eval(const std::string& expr) {
    std::string sql = "SELECT " + Expand(expr);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      return std::string("prepare failed: ") + sqlite3_errmsg(db_);
    }
    std::string result;
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      switch (sqlite3_column_type(stmt, 0)) {
        case SQLITE_NULL:
          result = "NULL";
          break;
        case SQLITE_FLOAT: {
          char buf[64];
          std::snprintf(buf, sizeof buf, "%.15g", sqlite3_column_double(stmt, 0));
          result = buf;
          break;
        }
        default:
          result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      }
    } else {
      Message m;
      if (DecodeFunctionError(sqlite3_errmsg(db_), &m)) {
        result = "E" + std::to_string(m.number) + ": " + m.text;
      } else {
        result = std::string("sqlite error: ") + sqlite3_errmsg(db_);
      }
    }
    sqlite3_finalize(stmt);
    return result;
  }

  void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      std::string got = Eval(c.sql);
      std::string want = c.expected;
      // An expected error may give only its number.
      if (want.size() > 1 && want[0] == 'E' && want.find(':') == std::string::npos) {
        got = got.substr(0, got.find(':'));
      }
      EXPECT_EQ(got, want) << c.sql;
    }
  }

  sqlite3* db_ = nullptr;
  FunctionSettings settings_;
};

TEST_F(SqlFunctionsTest, ImplicitConversionAndArithmetic) {
  Check({
      {"tsql_add('1', {varchar(1)}, 1, {int})", "2"},
      {"tsql_add('abc', {varchar(3)}, 1, {int})",
       "E245: Conversion failed when converting the varchar value 'abc' to data type int."},
      {"tsql_add('x', {nvarchar(1)}, 1, {int})",
       "E245: Conversion failed when converting the nvarchar value 'x' to data type int."},
      {"tsql_add(NULL, {int}, 'abc', {varchar(3)})", "NULL"},
      {"tsql_add('ab', {varchar(2)}, 'cd', {varchar(2)})", "abcd"},
      {"tsql_add('ab', {varchar(2)}, NULL, {varchar(2)})", "NULL"},
      {"tsql_sub('ab', {varchar(2)}, 'cd', {varchar(2)})", "E8117"},
      {"tsql_div(7, {int}, 2, {int})", "3"},
      {"tsql_div(-7, {int}, 2, {int})", "-3"},
      {"tsql_mod(-7, {int}, 2, {int})", "-1"},
      {"tsql_div(1, {int}, 0, {int})", "E8134: Divide by zero error encountered."},
      {"tsql_mod(1, {int}, 0, {int})", "E8134"},
      {"tsql_div(1.0, {float}, 0, {int})", "E8134"},
      {"tsql_mul(2147483647, {int}, 2, {int})",
       "E8115: Arithmetic overflow error converting expression to data type int."},
      {"tsql_mul(2147483647, {bigint}, 2, {int})", "4294967294"},
      {"tsql_add(200, {tinyint}, 100, {tinyint})",
       "E220: Arithmetic overflow error for data type tinyint, value = 300."},
      {"tsql_add(7, {int}, 0.5, {float})", "7.5"},
      {"tsql_neg(-2147483648, {int})", "E8115"},
      {"tsql_neg(5, {int})", "-5"},
      {"tsql_add(1, {bit}, 1, {bit})", "E8117: Operand data type bit is invalid for add operator."},
  });
}

TEST_F(SqlFunctionsTest, DecimalArithmeticIsExactAtTheResultScale) {
  // Values are scaled integers: decimal(10,2) 1.50 is 150.
  Check({
      {"tsql_add(150, {decimal(10,2)}, 25, {decimal(5,1)})", "400"},  // 1.50 + 2.5 = 4.00
      {"tsql_mul(150, {decimal(10,2)}, 3, {int})", "450"},            // 4.50 at scale 2
      {"tsql_mul(15, {decimal(3,1)}, 15, {decimal(3,1)})", "225"},    // 2.25 at scale 2
      // 1.00 / 3: decimal(10,2) / int -> decimal(21,13), capped to decimal(18,10); truncated.
      {"tsql_div(100, {decimal(10,2)}, 3, {int})", "3333333333"},
      // The literal 3 of 2.0/3 takes decimal(1,0): decimal(7,6), 0.666666.
      {"tsql_div(20, {decimal(2,1)}, 3, {decimal(1,0)})", "666666"},
      {"tsql_convert(tsql_div(20, {decimal(2,1)}, 3, {decimal(1,0)}), {decimal(7,6)}, "
       "{varchar(30)}, 0)",
       "0.666666"},
      {"tsql_div(100, {decimal(10,2)}, 0, {decimal(10,2)})", "E8134"},
      {"tsql_sub(10000, {money}, 3333, {money})", "6667"},
      {"tsql_div(10000, {money}, 3, {int})", "3333"},  // $1.0000 / 3 = 0.3333
      {"tsql_div(20000, {money}, 3, {int})", "6667"},  // money division rounds
      {"tsql_mul(15000, {money}, 15000, {money})", "22500"},
      {"tsql_add('1.25', {varchar(10)}, 150, {decimal(10,2)})", "275"},
      {"tsql_add(99999999, {decimal(8,0)}, 99999999, {decimal(8,0)})", "199999998"},
      {"tsql_add(1, {float}, 150, {decimal(10,2)})", "2.5"},
  });
  TypeInfo d102 = ParseDecl("decimal(10,2)"), d51 = ParseDecl("decimal(5,1)");
  EXPECT_EQ(TypeDecl(ArithmeticResultType(ArithOp::kAdd, d102, d51)), "decimal(11,2)");
  EXPECT_EQ(TypeDecl(ArithmeticResultType(ArithOp::kMul, d102, d51)), "decimal(16,3)");
  EXPECT_EQ(TypeDecl(ArithmeticResultType(ArithOp::kDiv, d51, IntType())), "decimal(16,12)");
  EXPECT_EQ(TypeDecl(ArithmeticResultType(ArithOp::kAdd, IntType(), ParseDecl("money"))), "money");
  EXPECT_EQ(TypeDecl(ArithmeticResultType(ArithOp::kAdd, ParseDecl("varchar(3)"),
                                          ParseDecl("nvarchar(2)"))),
            "nvarchar(5)");
  EXPECT_EQ(TypeDecl(ArithmeticResultType(ArithOp::kAdd, ParseDecl("varchar(3)"), IntType())),
            "int");
  EXPECT_THROW(ArithmeticResultType(ArithOp::kMod, FloatType(), IntType()), EngineError);
  // 2.0 / 3: the literal 3 counts as decimal(1,0), giving decimal(7,6).
  TypeInfo three = IntegerLiteralOperand(IntType(), 3, ParseDecl("decimal(2,1)"));
  EXPECT_EQ(TypeDecl(three), "decimal(1,0)");
  EXPECT_EQ(TypeDecl(ArithmeticResultType(ArithOp::kDiv, ParseDecl("decimal(2,1)"), three)),
            "decimal(7,6)");
  EXPECT_EQ(TypeDecl(IntegerLiteralOperand(IntType(), -12345, ParseDecl("numeric(5,2)"))),
            "decimal(5,0)");
  EXPECT_EQ(TypeDecl(IntegerLiteralOperand(IntType(), 3, FloatType())), "int");
}

TEST_F(SqlFunctionsTest, CastAndConvert) {
  Check({
      {"tsql_convert('12', {varchar(2)}, {int}, 0)", "12"},
      {"tsql_convert(' 12 ', {varchar(4)}, {int}, 0)", "12"},
      {"tsql_convert('', {varchar(1)}, {int}, 0)", "0"},
      {"tsql_convert('1.5', {varchar(3)}, {int}, 0)", "E245"},
      {"tsql_convert('1.5', {varchar(3)}, {decimal(10,2)}, 0)", "150"},
      {"tsql_convert('1.555', {varchar(5)}, {decimal(10,2)}, 0)", "156"},
      {"tsql_convert('-1.555', {varchar(6)}, {decimal(10,2)}, 0)", "-156"},
      {"tsql_convert('x', {varchar(1)}, {decimal(10,2)}, 0)",
       "E8114: Error converting data type varchar to numeric."},
      {"tsql_convert('1,234.5', {varchar(9)}, {money}, 0)", "12345000"},
      {"tsql_convert('1e3', {varchar(3)}, {decimal(10,2)}, 0)", "E8114"},
      {"tsql_convert('1e3', {varchar(3)}, {float}, 0)", "1000"},
      {"tsql_convert('.5', {varchar(2)}, {decimal(10,2)}, 0)", "50"},
      {"tsql_convert('.', {varchar(1)}, {decimal(10,2)}, 0)", "E8114"},
      {"tsql_convert('', {varchar(1)}, {decimal(10,2)}, 0)", "E8114"},
      {"tsql_convert('', {varchar(1)}, {money}, 0)", "0"},
      {"tsql_convert('12345', {varchar(5)}, {decimal(5,2)}, 0)",
       "E8115: Arithmetic overflow error converting varchar to data type numeric."},
      {"tsql_convert(2.7, {float}, {int}, 0)", "2"},
      {"tsql_convert(-2.7, {float}, {int}, 0)", "-2"},
      {"tsql_convert(279, {decimal(5,2)}, {int}, 0)", "2"},  // decimals truncate
      {"tsql_convert(25000, {money}, {int}, 0)", "3"},       // money rounds
      {"tsql_convert(300, {int}, {tinyint}, 0)", "E8115"},
      {"tsql_convert(150, {decimal(10,2)}, {varchar(10)}, 0)", "1.50"},
      {"tsql_convert(-5, {decimal(10,2)}, {varchar(10)}, 0)", "-0.05"},
      {"tsql_convert(12345678, {money}, {varchar(20)}, 0)", "1234.57"},
      {"tsql_convert(12345678, {money}, {varchar(20)}, 1)", "1,234.57"},
      {"tsql_convert(12345678, {money}, {varchar(20)}, 2)", "1234.5678"},
      {"tsql_convert(1.5, {float}, {varchar(30)}, 0)", "1.5"},
      {"tsql_convert(1234567.0, {float}, {varchar(30)}, 0)", "1.23457e+006"},
      {"tsql_convert(123456, {int}, {varchar(3)}, 0)", "*"},
      {"tsql_convert('abcdef', {varchar(6)}, {varchar(3)}, 0)", "abc"},
      {"tsql_convert('中文字', {nvarchar(3)}, {nvarchar(2)}, 0)", "中文"},
      {"tsql_convert('ab', {varchar(2)}, {char(4)}, 0) || '|'", "ab  |"},
      {"tsql_assign('abcdef', {varchar(6)}, {varchar(3)})",
       "E8152: String or binary data would be truncated."},
      {"tsql_assign('abc   ', {varchar(6)}, {varchar(3)})", "abc"},
      {"tsql_convert('true', {varchar(4)}, {bit}, 0)", "1"},
      {"tsql_convert(5, {int}, {bit}, 0)", "1"},
      {"tsql_convert('6f9619ff-8b86-d011-b42d-00c04fc964ff', {varchar(36)}, {uniqueidentifier}, 0)",
       "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
      {"tsql_convert('nope', {varchar(4)}, {uniqueidentifier}, 0)", "E8169"},
      {"hex(tsql_convert(258, {int}, {varbinary(4)}, 0))", "00000102"},
      {"tsql_convert(x'0102', {varbinary(2)}, {varchar(10)}, 1)", "0x0102"},
      {"tsql_convert(x'00000102', {varbinary(4)}, {int}, 0)", "258"},
      {"tsql_convert(1, {int}, {date}, 0)", "E529"},
  });
}

TEST_F(SqlFunctionsTest, DateConversionsAndStyles) {
  const char* dt = "'2024-03-05 14:07:09.123'";
  auto style = [&](int s) {
    return std::string("tsql_convert(") + dt + ", {datetime}, {varchar(40)}, " + std::to_string(s) +
           ")";
  };
  struct StyleCase {
    int style;
    const char* text;
  } styles[] = {
      {0, "Mar  5 2024  2:07PM"},
      {100, "Mar  5 2024  2:07PM"},
      {101, "03/05/2024"},
      {1, "03/05/24"},
      {102, "2024.03.05"},
      {103, "05/03/2024"},
      {104, "05.03.2024"},
      {105, "05-03-2024"},
      {108, "14:07:09"},
      {110, "03-05-2024"},
      {111, "2024/03/05"},
      {112, "20240305"},
      {120, "2024-03-05 14:07:09"},
      {121, "2024-03-05 14:07:09.123"},
      {23, "2024-03-05"},
  };
  for (const StyleCase& s : styles) EXPECT_EQ(Eval(style(s.style)), s.text) << s.style;
  EXPECT_EQ(Eval(style(999)).substr(0, 4), "E281");
  Check({
      {"tsql_convert('2024-03-05', {varchar(10)}, {datetime}, 0)", "2024-03-05 00:00:00.000"},
      {"tsql_convert('20240305', {varchar(8)}, {datetime}, 0)", "2024-03-05 00:00:00.000"},
      {"tsql_convert('', {varchar(1)}, {datetime}, 0)", "1900-01-01 00:00:00.000"},
      {"tsql_convert('  ', {varchar(2)}, {date}, 0)", "1900-01-01"},
      // What style 0 writes reads back.
      {"tsql_convert('Mar  5 2024  2:07PM', {varchar(20)}, {datetime}, 0)",
       "2024-03-05 14:07:00.000"},
      {"tsql_convert('5 March 2024', {varchar(20)}, {datetime}, 0)", "2024-03-05 00:00:00.000"},
      {"tsql_convert('Dec 31, 1999 23:59:59', {varchar(30)}, {datetime}, 0)",
       "1999-12-31 23:59:59.000"},
      {"tsql_convert('Foo 5 2024', {varchar(20)}, {datetime}, 0)", "E241"},
      {"tsql_convert('03/05/2024', {varchar(10)}, {datetime}, 0)", "2024-03-05 00:00:00.000"},
      {"tsql_convert('03/05/2024', {varchar(10)}, {datetime}, 103)", "2024-05-03 00:00:00.000"},
      {"tsql_convert('2024-03-05 14:07:09.002', {varchar(30)}, {datetime}, 121)",
       "2024-03-05 14:07:09.003"},
      {"tsql_convert('2024-03-05 14:07:09.005', {varchar(30)}, {datetime}, 0)",
       "2024-03-05 14:07:09.007"},
      {"tsql_convert('2024-03-05 23:59:59.999', {varchar(30)}, {datetime}, 0)",
       "2024-03-06 00:00:00.000"},
      {"tsql_convert('2024-03-05 14:07:31', {varchar(30)}, {smalldatetime}, 0)",
       "2024-03-05 14:08:00.000"},
      {"tsql_convert('2024-02-30', {varchar(10)}, {datetime}, 0)",
       "E241: Conversion failed when converting date and/or time from character string."},
      {"tsql_convert('2024-03-05 14:07:09.123', {datetime}, {date}, 0)", "2024-03-05"},
      {"tsql_convert('2024-03-05', {date}, {varchar(20)}, 0)", "2024-03-05"},
      {"tsql_convert(1, {int}, {datetime}, 0)", "1900-01-02 00:00:00.000"},
      {"tsql_convert('1900-01-03 18:00:00.000', {datetime}, {int}, 0)", "3"},
  });
  settings_.dateformat = "dmy";
  EXPECT_EQ(Eval("tsql_convert('03/05/2024', {varchar(10)}, {datetime}, 0)"),
            "2024-05-03 00:00:00.000");
}

TEST_F(SqlFunctionsTest, TextComparisonIgnoresCaseAndTrailingBlanks) {
  Check({
      {"'abc' = 'ABC  ' COLLATE TSQL", "1"},
      {"'abc' = ' abc' COLLATE TSQL", "0"},
      {"'a' < 'B' COLLATE TSQL", "1"},
      {"'Äpfel' = 'äPFEL' COLLATE TSQL", "1"},
      {"'商品' = '商品 ' COLLATE TSQL", "1"},
      {"tsql_like('Hello World', 'hello%')", "1"},
      {"tsql_like('abc', 'a_c')", "1"},
      {"tsql_like('abc  ', 'abc')", "1"},
      {"tsql_like('b1', '[a-c][0-9]')", "1"},
      {"tsql_like('d1', '[a-c][0-9]')", "0"},
      {"tsql_like('x', '[^a-c]')", "1"},
      {"tsql_like('50%', '50!%', '!')", "1"},
      {"tsql_like('500', '50!%', '!')", "0"},
      {"tsql_like(NULL, 'a')", "NULL"},
  });
  sqlite3_exec(
      db_, "CREATE TABLE t (name TEXT COLLATE TSQL); INSERT INTO t VALUES ('b'),('A '),('a'),('C')",
      nullptr, nullptr, nullptr);
  EXPECT_EQ(Eval("group_concat(name, ',') FROM (SELECT name FROM t ORDER BY name, rowid)"),
            "A ,a,b,C");
  EXPECT_EQ(Eval("count(DISTINCT name) FROM t"), "3");
}

TEST_F(SqlFunctionsTest, NullHandlingFunctions) {
  Check({
      {"tsql_isnull(NULL, {int}, 5, {int})", "5"},
      {"tsql_isnull(NULL, {varchar(2)}, 'abcdef', {varchar(6)})", "ab"},
      {"tsql_isnull(3, {int}, 5, {int})", "3"},
      {"tsql_coalesce(NULL, {int}, NULL, {varchar(3)}, 150, {decimal(10,2)})", "150"},
      {"tsql_coalesce(NULL, {int}, 7, {int}, 150, {decimal(10,2)})", "700"},
      {"tsql_coalesce(NULL, {int})", "NULL"},
      {"tsql_nullif(5, {int}, 5, {int})", "NULL"},
      {"tsql_nullif('abc', {varchar(3)}, 'ABC ', {varchar(4)})", "NULL"},
      {"tsql_nullif(5, {int}, 6, {int})", "5"},
      {"tsql_nullif(150, {decimal(10,2)}, 15, {decimal(3,1)})", "NULL"},
  });
}

TEST_F(SqlFunctionsTest, DateFunctions) {
  Check({
      {"tsql_getdate()", "2024-02-29 13:45:30.123"},
      {"tsql_dateadd('day', {varchar(3)}, 1, {int}, '2024-02-28 10:00:00.000', {datetime})",
       "2024-02-29 10:00:00.000"},
      {"tsql_dateadd('mm', {varchar(2)}, 1, {int}, '2024-01-31 00:00:00.000', {datetime})",
       "2024-02-29 00:00:00.000"},
      {"tsql_dateadd('year', {varchar(4)}, 1, {int}, '2024-02-29 00:00:00.000', {datetime})",
       "2025-02-28 00:00:00.000"},
      {"tsql_dateadd('month', {varchar(5)}, -13, {int}, '2024-01-15', {date})", "2022-12-15"},
      {"tsql_dateadd('hh', {varchar(2)}, -2, {int}, '2024-01-01 01:00:00.000', {datetime})",
       "2023-12-31 23:00:00.000"},
      {"tsql_dateadd('hour', {varchar(4)}, 1, {int}, '2024-01-01', {date})", "E9810"},
      {"tsql_dateadd('week', {varchar(4)}, 2147483647, {int}, '2024-01-01', {date})", "E8115"},
      {"tsql_dateadd('day', {varchar(3)}, 5000000000, {bigint}, '2024-01-01', {date})", "E8115"},
      {"tsql_dateadd('day', {varchar(3)}, 1.9, {float}, '2024-01-01', {date})", "2024-01-02"},
      {"tsql_add('2024-01-01', {datetime}, 9000000000000, {bigint})", "E8115"},
      {"tsql_dateadd('day', {varchar(3)}, 1, {int}, '2024-01-01', {varchar(10)})",
       "2024-01-02 00:00:00.000"},
      {"tsql_dateadd('fortnight', {varchar(9)}, 1, {int}, '2024-01-01', {date})",
       "E155: 'fortnight' is not a recognized dateadd option."},
      {"tsql_datediff('day', {varchar(3)}, '2024-01-01 23:59:00.000', {datetime}, "
       "'2024-01-02 00:01:00.000', {datetime})",
       "1"},
      {"tsql_datediff('year', {varchar(4)}, '2023-12-31', {date}, '2024-01-01', {date})", "1"},
      {"tsql_datediff('month', {varchar(5)}, '2024-03-31', {date}, '2024-01-01', {date})", "-2"},
      {"tsql_datediff('week', {varchar(4)}, '2024-03-02', {date}, '2024-03-03', {date})", "1"},
      {"tsql_datediff('minute', {varchar(6)}, '2024-01-01 10:00:59.000', {datetime}, "
       "'2024-01-01 10:01:00.000', {datetime})",
       "1"},
      {"tsql_datediff('ms', {varchar(2)}, '1900-01-01', {date}, '2024-01-01', {date})", "E535"},
      {"tsql_datepart('weekday', {varchar(7)}, '2024-03-03', {date})", "1"},  // a Sunday
      {"tsql_datepart('dy', {varchar(2)}, '2024-03-01', {date})", "61"},
      {"tsql_datepart('week', {varchar(4)}, '2024-01-07', {date})", "2"},
      {"tsql_datepart('quarter', {varchar(7)}, '2024-08-01', {date})", "3"},
      {"tsql_datepart('ms', {varchar(2)}, '2024-01-01 00:00:00.997', {datetime})", "997"},
      {"tsql_datename('month', {varchar(5)}, '2024-08-01', {date})", "August"},
      {"tsql_year('2024-08-01 10:00:00.000', {datetime})", "2024"},
      {"tsql_month('2024-08-01', {varchar(10)})", "8"},
      {"tsql_day('2024-08-01', {date})", "1"},
      {"tsql_year(NULL, {datetime})", "NULL"},
      {"tsql_add('2024-01-01 00:00:00.000', {datetime}, 1, {int})", "2024-01-02 00:00:00.000"},
      {"tsql_sub('2024-01-01 00:00:00.000', {datetime}, 0.5, {float})", "2023-12-31 12:00:00.000"},
      {"tsql_add('2024-01-01', {date}, 1, {int})", "E206"},
      {"tsql_isdate('2024-02-30', {varchar(10)})", "0"},
      {"tsql_isdate('2024-02-29', {varchar(10)})", "1"},
      {"tsql_isdate('', {varchar(1)})", "0"},
  });
  settings_.datefirst = 1;
  EXPECT_EQ(Eval("tsql_datepart('dw', {varchar(2)}, '2024-03-03', {date})"), "7");
}

TEST_F(SqlFunctionsTest, StringFunctions) {
  Check({
      {"tsql_len('abc  ', {varchar(5)})", "3"},
      {"tsql_len('  ', {varchar(2)})", "0"},
      {"tsql_len('中文', {nvarchar(2)})", "2"},
      {"tsql_len(12345, {int})", "5"},
      {"tsql_len(NULL, {varchar(1)})", "NULL"},
      {"tsql_datalength('ab ', {varchar(3)})", "3"},
      {"tsql_datalength('ab', {nvarchar(2)})", "4"},
      {"tsql_datalength(1, {int})", "4"},
      {"tsql_datalength('中', {varchar(2)})", "2"},
      {"'[' || tsql_ltrim('  a b ', {varchar(6)}) || ']'", "[a b ]"},
      {"'[' || tsql_rtrim('  a b ', {varchar(6)}) || ']'", "[  a b]"},
      {"tsql_substring('abcdef', {varchar(6)}, 2, {int}, 3, {int})", "bcd"},
      {"tsql_substring('abcdef', {varchar(6)}, 0, {int}, 2, {int})", "a"},
      {"tsql_substring('abcdef', {varchar(6)}, 5, {int}, 10, {int})", "ef"},
      {"tsql_substring('中文字符', {nvarchar(4)}, 2, {int}, 2, {int})", "文字"},
      {"tsql_substring('abc', {varchar(3)}, 1, {int}, -1, {int})", "E537"},
      {"tsql_left('abcdef', {varchar(6)}, 2, {int})", "ab"},
      {"tsql_right('abcdef', {varchar(6)}, 2, {int})", "ef"},
      {"tsql_right('ab', {varchar(2)}, 5, {int})", "ab"},
      {"tsql_left('ab', {varchar(2)}, -1, {int})", "E536"},
      {"tsql_upper('abc äö', {nvarchar(6)})", "ABC ÄÖ"},
      {"tsql_lower('ABC', {varchar(3)})", "abc"},
      {"tsql_replace('Hello hello', {varchar(11)}, 'HELLO', {varchar(5)}, 'bye', {varchar(3)})",
       "bye bye"},
      {"tsql_replace('abc', {varchar(3)}, '', {varchar(1)}, 'x', {varchar(1)})", "abc"},
      {"tsql_charindex('C', {varchar(1)}, 'abcabc', {varchar(6)})", "3"},
      {"tsql_charindex('c', {varchar(1)}, 'abcabc', {varchar(6)}, 4, {int})", "6"},
      {"tsql_charindex('z', {varchar(1)}, 'abc', {varchar(3)})", "0"},
      {"tsql_patindex('%[0-9]%', {varchar(7)}, 'ab12', {varchar(4)})", "3"},
      {"tsql_str(123.456, {float}, 8, {int}, 2, {int})", "  123.46"},
      {"tsql_str(123.456, {float})", "       123"},
      {"tsql_str(123.456, {float}, 5, {int}, 2, {int})", "123.5"},
      {"tsql_str(12345, {int}, 3, {int})", "***"},
      {"'[' || tsql_space(3, {int}) || ']'", "[   ]"},
      {"tsql_space(-1, {int})", "NULL"},
      {"tsql_replicate('ab', {varchar(2)}, 3, {int})", "ababab"},
      {"tsql_replicate('ab', {varchar(2)}, -1, {int})", "NULL"},
      {"tsql_reverse('abc', {varchar(3)})", "cba"},
      {"tsql_stuff('abcdef', {varchar(6)}, 2, {int}, 3, {int}, 'XY', {varchar(2)})", "aXYef"},
      {"tsql_ascii('A', {varchar(1)})", "65"},
      {"tsql_char(65, {int})", "A"},
  });
}

TEST_F(SqlFunctionsTest, MathFunctionsAndNewId) {
  Check({
      {"tsql_abs(-5, {int})", "5"},
      {"tsql_abs(-150, {decimal(10,2)})", "150"},
      {"tsql_abs(-2147483648, {int})", "E8115"},
      {"tsql_abs(-1.5, {float})", "1.5"},
      {"tsql_round(12345, {decimal(10,3)}, 2, {int})", "12350"},  // 12.345 -> 12.350
      {"tsql_round(-12345, {decimal(10,3)}, 2, {int})", "-12350"},
      {"tsql_round(12345, {decimal(10,3)}, 2, {int}, 1, {int})", "12340"},
      {"tsql_round(15, {int}, -1, {int})", "20"},
      {"tsql_round(99, {decimal(2,1)}, 0, {int})", "100"},  // 9.9 -> 10.0 fits decimal(3,1)
      {"tsql_round(2.5, {float}, 0, {int})", "3"},
      {"tsql_round(1.005, {float}, 2, {int})", "1"},  // float holds 1.00499...
      {"tsql_floor(-150, {decimal(10,2)})", "-2"},
      {"tsql_ceiling(-150, {decimal(10,2)})", "-1"},
      {"tsql_ceiling(150, {decimal(10,2)})", "2"},
      {"tsql_floor(15500, {money})", "10000"},
      {"tsql_floor(-1.5, {float})", "-2"},
      {"tsql_floor(7, {int})", "7"},
      {"tsql_sign(-150, {decimal(10,2)})", "-100"},
      {"tsql_power(2, {int}, 10, {int})", "1024"},
      {"tsql_isnumeric('12.5', {varchar(4)})", "1"},
      {"tsql_isnumeric('12a', {varchar(3)})", "0"},
      {"length(tsql_newid())", "36"},
      {"tsql_newid() = tsql_newid()", "0"},
  });
  // A version-4 GUID in upper-case hex: 8-4-4-4-12.
  std::string id = Eval("tsql_newid()");
  ASSERT_EQ(id.size(), 36u);
  for (size_t i = 0; i < id.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    EXPECT_TRUE(dash ? id[i] == '-'
                     : std::isxdigit(static_cast<unsigned char>(id[i])) &&
                           !std::islower(static_cast<unsigned char>(id[i])))
        << id;
  }
  EXPECT_EQ(id[14], '4') << id;
}

TEST_F(SqlFunctionsTest, Aggregates) {
  sqlite3_exec(db_,
               "CREATE TABLE t (i INTEGER, d INTEGER, m INTEGER);"
               "INSERT INTO t VALUES (1, 150, 10000), (2, 250, 20000), (2, NULL, 5),"
               " (2147483647, 100, 0);",
               nullptr, nullptr, nullptr);
  auto pattern = [](const char* name, const char* arg, const char* decl, bool distinct = false) {
    const FunctionInfo* f = FindFunction(name);
    std::string p(f->sqlite_name);
    TypeInfo t = ParseDecl(decl);
    TypeInfo r = ResultType(*f, {t});
    auto replace = [&](const std::string& what, const std::string& with) {
      for (size_t at = p.find(what); at != std::string::npos; at = p.find(what, at + with.size())) {
        p.replace(at, what.size(), with);
      }
    };
    replace("$D", distinct ? "DISTINCT " : "");
    replace("$1", arg);
    replace("$T", std::to_string(EncodeType(t)));
    replace("$R", std::to_string(EncodeType(r)));
    return p;
  };
  EXPECT_EQ(Eval(pattern("sum", "i", "int") + " FROM t"),
            "E8115: Arithmetic overflow error converting expression to data type int.");
  EXPECT_EQ(Eval(pattern("sum", "i", "bigint") + " FROM t"), "2147483652");
  EXPECT_EQ(Eval(pattern("avg", "i", "int") + " FROM t WHERE i < 10"), "1");        // 5 / 3
  EXPECT_EQ(Eval(pattern("avg", "i", "int", true) + " FROM t WHERE i < 10"), "1");  // 3 / 2
  // decimal(10,2): (1.50 + 2.50 + 1.00) / 3 = 1.666666 at scale 6.
  EXPECT_EQ(Eval(pattern("avg", "d", "decimal(10,2)") + " FROM t"), "1666666");
  EXPECT_EQ(Eval(pattern("avg", "m", "money") + " FROM t"), "7501");
  EXPECT_EQ(Eval(pattern("count", "d", "decimal(10,2)") + " FROM t"), "3");
  EXPECT_EQ(Eval(pattern("avg", "d", "decimal(10,2)") + " FROM t WHERE 0"), "NULL");
  EXPECT_EQ(TypeDecl(ResultType(*FindFunction("AVG"), {ParseDecl("decimal(10,2)")})),
            "decimal(18,6)");
  EXPECT_EQ(TypeDecl(ResultType(*FindFunction("SUM"), {ParseDecl("smallint")})), "int");
  EXPECT_THROW(ResultType(*FindFunction("SUM"), {ParseDecl("varchar(5)")}), EngineError);
}

TEST(SqlFunctionTable, LooksUpNamesAndArgumentCounts) {
  const FunctionInfo* f = FindFunction("dateAdd");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->sqlite_name, "tsql_dateadd");
  EXPECT_TRUE(f->datepart_first);
  EXPECT_EQ(FindFunction("no_such_function"), nullptr);
  EXPECT_FALSE(FindFunction("GETDATE")->deterministic);
  EXPECT_EQ(TypeDecl(ResultType(*FindFunction("LEFT"), {ParseDecl("nvarchar(10)"), IntType()})),
            "nvarchar(10)");
  EXPECT_EQ(TypeDecl(ResultType(*FindFunction("DATEADD"),
                                {VarCharType(3), IntType(), ParseDecl("varchar(10)")})),
            "datetime");
  try {
    ResultType(*FindFunction("SUBSTRING"), {VarCharType(3)});
    FAIL() << "SUBSTRING with one argument";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), 174);
  }
}

TEST(SqlValues, RoundTripThroughTheStoredForm) {
  TypeInfo money = ParseDecl("money"), dec = ParseDecl("decimal(10,2)");
  EXPECT_EQ(ToStored(Value(Decimal{12345, 2}), money).i, 1234500);
  EXPECT_EQ(std::get<Decimal>(ToValue(Stored::Int(1234500), money)), (Decimal{1234500, 4}));
  EXPECT_EQ(ToStored(Value(Decimal{12345, 3}), dec).i, 1235);  // rounded to the declared scale
  EXPECT_EQ(ToStored(Value(std::string("1.5")), dec).i, 150);
  EXPECT_EQ(ToStored(Value(int64_t{7}), dec).i, 700);
  DateTime dt{MicrosFromCivil(CivilTime{2024, 1, 2, 3, 4, 5, 7})};
  EXPECT_EQ(ToStored(Value(dt), DateTimeType()).s, "2024-01-02 03:04:05.007");
  EXPECT_EQ(std::get<DateTime>(ToValue(Stored::Text("2024-01-02 03:04:05.007"), DateTimeType())),
            dt);
  EXPECT_EQ(ToStored(Value(dt), ParseDecl("date")).s, "2024-01-02");
  EXPECT_EQ(std::get<int64_t>(ToValue(Stored::Text("12"), IntType())), 12);
  EXPECT_THROW(ToStored(Value(int64_t{1} << 40), IntType()), EngineError);
  EXPECT_TRUE(IsNull(ToValue(Stored::Null(), IntType())));

  EXPECT_EQ(TypeDecl(NumericLiteralType("12")), "int");
  EXPECT_EQ(TypeDecl(NumericLiteralType("3000000000")), "decimal(10,0)");
  EXPECT_EQ(TypeDecl(NumericLiteralType("1.50")), "decimal(3,2)");
  EXPECT_EQ(TypeDecl(NumericLiteralType("0.5")), "decimal(1,1)");
  EXPECT_EQ(TypeDecl(NumericLiteralType("1e3")), "float");
  EXPECT_EQ(NumericLiteralValue("1.50", NumericLiteralType("1.50")).i, 150);
  EXPECT_EQ(NumericLiteralValue("$5", NumericLiteralType("$5")).i, 50000);

  EXPECT_FALSE(NeedsConversion(IntType(), BigIntType()));
  EXPECT_TRUE(NeedsConversion(dec, ParseDecl("decimal(10,3)")));
  EXPECT_FALSE(NeedsConversion(dec, ParseDecl("decimal(18,2)")));
  EXPECT_TRUE(NeedsConversion(ParseDecl("date"), DateTimeType()));
  EXPECT_TRUE(NeedsConversion(VarCharType(5), IntType()));
  EXPECT_EQ(TypeDecl(ComparisonType(dec, ParseDecl("decimal(5,3)"))), "decimal(11,3)");
  EXPECT_EQ(TypeDecl(ComparisonType(VarCharType(5), IntType())), "int");
}

}  // namespace
}  // namespace tillbase::engine::sql

namespace tillbase::engine::sql {
namespace {

// Connections on different threads share the function table and the
// lookups; each has its own settings.
TEST(SqlFunctionsConcurrency, ConnectionsOnSeveralThreads) {
  auto work = [](const char* dateformat, const char* expected, bool* ok) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    FunctionSettings settings;
    settings.dateformat = dateformat;
    RegisterFunctions(db, &settings);
    std::string sql = "SELECT tsql_convert('03/05/2024', " +
                      std::to_string(EncodeType(VarCharType(10))) + ", " +
                      std::to_string(EncodeType(DateTimeType())) + ", 0)";
    *ok = true;
    for (int i = 0; i < 200 && *ok; ++i) {
      *ok = FindFunction("dateadd") != nullptr;
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
      *ok = *ok && sqlite3_step(stmt) == SQLITE_ROW &&
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))) == expected;
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
  };
  bool ok1 = false, ok2 = false;
  std::thread a(work, "mdy", "2024-03-05 00:00:00.000", &ok1);
  std::thread b(work, "dmy", "2024-05-03 00:00:00.000", &ok2);
  a.join();
  b.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

// Stored dates and times are read on every fetch; the engine's own forms
// take a short way that must read them as the general reading does.
TEST(StorageText, ReadsEveryStoredForm) {
  struct Case {
    const char* text;
    CivilTime expected;
  } cases[] = {
      {"2026-12-02", {2026, 12, 2, 0, 0, 0, 0}},
      {"2026-12-02 10:01:59", {2026, 12, 2, 10, 1, 59, 0}},
      {"2026-12-02 10:01:59.123", {2026, 12, 2, 10, 1, 59, 123}},
      {"2026-12-02 10:01:59.5", {2026, 12, 2, 10, 1, 59, 5}},  // as "%d" reads a fraction
      {"2026-1-2 3:4:5", {2026, 1, 2, 3, 4, 5, 0}},
      {"0099-12-31 23:59:59.997", {99, 12, 31, 23, 59, 59, 997}},
  };
  for (const Case& c : cases) {
    std::optional<CivilTime> got = ParseStorage(c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(
        std::tie(got->year, got->month, got->day, got->hour, got->minute, got->second, got->millis),
        std::tie(c.expected.year, c.expected.month, c.expected.day, c.expected.hour,
                 c.expected.minute, c.expected.second, c.expected.millis))
        << c.text;
  }
  EXPECT_FALSE(ParseStorage("2026-12").has_value());
  EXPECT_FALSE(ParseStorage("yesterday!").has_value());
}

}  // namespace
}  // namespace tillbase::engine::sql

// The tillbase-sql tool: GO splitting, value text, the sqlcmd-style grid and
// message lines, the command line, and one run of the built program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "engine/tools/batch_splitter.h"
#include "engine/tools/sql_tool.h"
#include "engine/tools/sqlcmd_printer.h"
#include "engine/tools/value_format.h"

namespace tillbase::engine::tools {
namespace {

std::vector<std::string> Texts(const std::vector<ScriptBatch>& batches) {
  std::vector<std::string> out;
  for (const ScriptBatch& b : batches) out.push_back(b.sql);
  return out;
}

TEST(GoSplitter, SplitsOnGoLinesOnly) {
  struct Case {
    const char* script;
    std::vector<std::string> batches;
  };
  const Case cases[] = {
      {"select 1\nGO\nselect 2\n", {"select 1\n", "select 2\n"}},
      {"select 1\n  go  \r\nselect 2", {"select 1\n", "select 2"}},
      {"select 1\nGo\n\n   \ngO\n", {"select 1\n"}},  // blank batches are not sent
      {"select 'a\nGO\nb'\nGO\n", {"select 'a\nGO\nb'\n"}},
      {"select 'it''s'\nGO\nselect 2\n", {"select 'it''s'\n", "select 2\n"}},
      {"/* outer /* inner */\nGO\n*/ select 1\nGO\n", {"/* outer /* inner */\nGO\n*/ select 1\n"}},
      {"select 1 -- 'not a string\nGO\nselect 2\n", {"select 1 -- 'not a string\n", "select 2\n"}},
      {"select [a\nGO\n] from t\n", {"select [a\nGO\n] from t\n"}},
      {"select 1 GO\nGOTO x\nGO;\n", {"select 1 GO\nGOTO x\nGO;\n"}},
      {"GO\nGO\n", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Texts(SplitBatches(c.script)), c.batches) << c.script;
  }
}

TEST(GoSplitter, CountsRepeatsAndLines) {
  auto batches = SplitBatches("\nselect 1\ngo 3\n\nselect 2\nGO\n");
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].repeat, 3);
  EXPECT_EQ(batches[0].first_line, 1);
  EXPECT_EQ(batches[1].repeat, 1);
  EXPECT_EQ(batches[1].first_line, 4);
}

TEST(GoSplitter, RejectsBadCounts) {
  for (const char* script :
       {"select 1\nGO x\n", "select 1\nGO 0\n", "select 1\nGO 99999999999\n"}) {
    try {
      SplitBatches(script);
      ADD_FAILURE() << script;
    } catch (const ScriptError& e) {
      EXPECT_EQ(e.line(), 2);
      EXPECT_STREQ(e.what(), "Incorrect syntax was encountered while parsing GO.");
    }
  }
}

TypeInfo T(SqlType type, int length = 0, int precision = 0, int scale = 0) {
  return TypeInfo{type, length, precision, scale};
}

TEST(ValueText, FormsByType) {
  struct Case {
    Value value;
    TypeInfo type;
    const char* text;
  };
  const int64_t day = 86'400'000'000LL;
  const Case cases[] = {
      {Value{}, T(SqlType::kInt), "NULL"},
      {int64_t{-42}, T(SqlType::kInt), "-42"},
      {int64_t{1}, T(SqlType::kBit), "1"},
      {Decimal{1250, 3}, T(SqlType::kDecimal, 0, 9, 2), "1.25"},
      {Decimal{1255, 3}, T(SqlType::kDecimal, 0, 9, 2), "1.26"},  // half away from zero
      {Decimal{-1255, 3}, T(SqlType::kDecimal, 0, 9, 2), "-1.26"},
      {Decimal{5, 1}, T(SqlType::kNumeric, 0, 5, 2), "0.50"},
      {Decimal{-4, 3}, T(SqlType::kDecimal, 0, 5, 2), "0.00"},
      {Decimal{30000, 4}, T(SqlType::kMoney), "3.0000"},
      {int64_t{12}, T(SqlType::kDecimal, 0, 5, 2), "12.00"},
      {0.1, T(SqlType::kFloat), "0.1"},
      {12.5, T(SqlType::kFloat), "12.5"},
      {1.5e20, T(SqlType::kFloat), "1.5E+20"},
      {static_cast<double>(0.1f), T(SqlType::kReal), "0.1"},
      {std::string("abc"), T(SqlType::kVarChar, 10), "abc"},
      {Bytes{std::string("\x01\xAB", 2)}, T(SqlType::kVarBinary, 2), "0x01AB"},
      {DateTime{0}, T(SqlType::kDateTime), "1900-01-01 00:00:00.000"},
      {DateTime{45000 * day + 3'723'006'667}, T(SqlType::kDateTime), "2023-03-17 01:02:03.007"},
      {DateTime{-day}, T(SqlType::kDate), "1899-12-31"},
      {DateTime{36524 * day + 59'500'000}, T(SqlType::kSmallDateTime), "2000-01-01 00:01:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatValue(c.value, c.type), c.text) << c.text;
  }
}

Column Col(std::string name, TypeInfo type) {
  Column c;
  c.name = std::move(name);
  c.type = type;
  return c;
}

std::vector<Value> Row(std::vector<Value> v) { return v; }

std::string PrintTwoRows(const PrintOptions& options) {
  std::ostringstream out;
  SqlcmdPrinter p(out, options);
  p.BeginResultSet({Col("id", T(SqlType::kInt)), Col("name", T(SqlType::kVarChar, 6)),
                    Col("", T(SqlType::kDecimal, 0, 5, 2))});
  p.Row(Row({int64_t{1}, std::string("ab"), Decimal{150, 2}}));
  p.Row(Row({int64_t{22}, Value{}, Value{}}));
  p.EndResultSet();
  p.RowCount(2);
  return out.str();
}

TEST(SqlcmdGrid, PadsColumnsByTypeWidth) {
  EXPECT_EQ(PrintTwoRows({}),
            "id          name          \n"
            "----------- ------ -------\n"
            "          1 ab        1.50\n"
            "         22 NULL      NULL\n"
            "\n"
            "(2 rows affected)\n");
}

TEST(SqlcmdGrid, TrimSeparatorAndNoHeaders) {
  PrintOptions trimmed;
  trimmed.trim_trailing = true;
  trimmed.separator = "|";
  EXPECT_EQ(PrintTwoRows(trimmed),
            "id|name|\n"
            "--|----|-\n"
            "1|ab|1.50\n"
            "22|NULL|NULL\n"
            "\n"
            "(2 rows affected)\n");
  PrintOptions bare;
  bare.header_rows = -1;
  EXPECT_EQ(PrintTwoRows(bare),
            "          1 ab        1.50\n"
            "         22 NULL      NULL\n"
            "\n"
            "(2 rows affected)\n");
}

TEST(SqlcmdGrid, WidensForNamesAndCutsLargeValues) {
  std::ostringstream out;
  SqlcmdPrinter p(out, {});
  p.BeginResultSet({Col("a_long_name", T(SqlType::kBit)), Col("t", T(SqlType::kNVarChar, 4)),
                    Col("m", T(SqlType::kVarChar, -1))});
  p.Row(Row({int64_t{0}, std::string("\xE4\xB8\xAD\xE6\x96\x87"), std::string(300, 'x')}));
  p.EndResultSet();
  std::string text = out.str();
  std::istringstream lines(text);
  std::string header, dashes, row;
  std::getline(lines, header);
  std::getline(lines, dashes);
  std::getline(lines, row);
  EXPECT_EQ(dashes, "----------- -- " + std::string(256, '-'));
  EXPECT_EQ(row, "          0 \xE4\xB8\xAD\xE6\x96\x87 " + std::string(256, 'x'));
}

TEST(SqlcmdGrid, RowCountsMessagesAndErrors) {
  std::ostringstream out;
  PrintOptions options;
  options.server_name = "HOST";
  SqlcmdPrinter p(out, options);
  p.RowCount(1);
  p.OnMessage(Message{0, 0, 1, 2, "", "hello"});
  p.OnMessage(Message{208, 16, 1, 3, "", "Invalid object name 'x'."});
  p.OnMessage(Message{50000, 16, 2, 7, "p_test", "boom"});
  p.BeginResultSet({Col("n", T(SqlType::kInt))});
  p.EndResultSet();
  p.RowCount(0);
  EXPECT_TRUE(p.saw_error());
  EXPECT_EQ(out.str(),
            "\n(1 rows affected)\n"
            "hello\n"
            "Msg 208, Level 16, State 1, Server HOST, Line 3\n"
            "Invalid object name 'x'.\n"
            "Msg 50000, Level 16, State 2, Server HOST, Procedure p_test, Line 7\n"
            "boom\n"
            "n          \n"
            "-----------\n"
            "\n"
            "(0 rows affected)\n");
}

TEST(SqlToolArgs, ReadsTheOptions) {
  SqlToolOptions o = ParseSqlToolArgs({"--data", "/tmp/d", "-dshop", "-Q", "select 1", "-s", ",",
                                       "-W", "-h", "-1", "-b", "-U", "sa", "-Psecret"});
  EXPECT_EQ(o.data_dir, "/tmp/d");
  EXPECT_EQ(o.database, "shop");
  EXPECT_EQ(o.query, "select 1");
  EXPECT_EQ(o.separator, ",");
  EXPECT_TRUE(o.trim_trailing);
  EXPECT_EQ(o.header_rows, -1);
  EXPECT_TRUE(o.abort_on_error);
  EXPECT_EQ(o.login, "sa");
  EXPECT_EQ(o.password, "secret");
  EXPECT_TRUE(ParseSqlToolArgs({"-?"}).help);
}

TEST(SqlToolArgs, RejectsBadCommandLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"-Q", "select 1"},                         // no data directory
      {"--data", "d", "-Q", "x", "-i", "f.sql"},  // -Q and -i together
      {"--data", "d", "-h", "0"},                 // headers every 0 rows
      {"--data", "d", "-h", "x"},                 // not a number
      {"--data", "d", "-Z"},                      // unknown
      {"--data", "d", "-d"},                      // value missing
  };
  for (const auto& args : bad) {
    EXPECT_THROW(ParseSqlToolArgs(args), UsageError) << args.back();
  }
}

TEST(SqlToolRun, MissingInputFileFailsBeforeOpening) {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tillbase-sql-missing-" + std::to_string(getpid()));
  SqlToolOptions o = ParseSqlToolArgs({"--data", dir.string(), "-i", (dir / "nope.sql").string()});
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(RunSqlTool(o, in, out, err), 1);
  EXPECT_NE(err.str().find("nope.sql"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
}  // namespace tillbase::engine::tools

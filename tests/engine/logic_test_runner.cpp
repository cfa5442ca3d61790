// Runs the SQL logic tests: every .test file under tests/engine/logic (the
// format is in logic/README.md), each in a fresh data directory, one gtest
// case per file. Files under logic/pending/ run only with
// TILLBASE_LOGIC_PENDING=1: they hold cases the engine does not pass yet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/tools/sqlcmd_printer.h"
#include "engine/tools/value_format.h"

namespace tillbase::engine {
namespace {

namespace fs = std::filesystem;

const fs::path kLogicDir = fs::path(TILLBASE_SOURCE_DIR) / "tests" / "engine" / "logic";

// ---- the .test format ------------------------------------------------------

enum class RecordKind { kStatementOk, kStatementError, kQuery, kBatch, kConnection };

struct Record {
  RecordKind kind = RecordKind::kStatementOk;
  int line = 0;                 // line of the record's first line in the file
  std::string sql;
  int error_number = 0;         // statement error: 0 means any error
  std::string error_text;       // statement error: the exact first error text, when given
  std::string types;            // query: one letter per column
  bool rowsort = false;         // query: compare rows in sorted order
  std::vector<std::string> expected;  // query rows / batch transcript lines
  std::string connection;       // connection: the name to switch to
};

class FormatError : public std::runtime_error {
 public:
  FormatError(int line, const std::string& text)
      : std::runtime_error("line " + std::to_string(line) + ": " + text) {}
};

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.pop_back();
  return s;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::vector<Record> ParseTestFile(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  std::vector<Record> records;
  size_t i = 0;
  auto blank = [&](size_t k) { return TrimRight(lines[k]).empty(); };
  // Lines up to (not including) the first blank line, or up to "----".
  auto take_until = [&](bool stop_at_dashes, bool allow_blank, bool& saw_dashes) {
    std::string sql;
    saw_dashes = false;
    while (i < lines.size()) {
      if (stop_at_dashes && TrimRight(lines[i]) == "----") {
        saw_dashes = true;
        ++i;
        break;
      }
      if (!allow_blank && blank(i)) break;
      sql += lines[i];
      sql += '\n';
      ++i;
    }
    return sql;
  };
  while (i < lines.size()) {
    if (blank(i) || lines[i][0] == '#') {
      ++i;
      continue;
    }
    Record r;
    r.line = static_cast<int>(i) + 1;
    std::vector<std::string> head = Words(lines[i]);
    ++i;
    bool dashes = false;
    if (head[0] == "statement") {
      if (head.size() < 2) throw FormatError(r.line, "statement needs ok or error");
      if (head[1] == "ok" && head.size() == 2) {
        r.kind = RecordKind::kStatementOk;
      } else if (head[1] == "error") {
        r.kind = RecordKind::kStatementError;
        if (head.size() >= 3) {
          try {
            r.error_number = std::stoi(head[2]);
          } catch (const std::exception&) {
            throw FormatError(r.line, "statement error takes an error number, got " + head[2]);
          }
          // The rest of the line after the number is the exact message text.
          const std::string& first = lines[i - 1];
          size_t at = first.find(head[2], first.find("error") + 5) + head[2].size();
          size_t start = first.find_first_not_of(" \t", at);
          if (start != std::string::npos) r.error_text = TrimRight(first.substr(start));
        }
      } else {
        throw FormatError(r.line, "unknown statement record '" + lines[r.line - 1] + "'");
      }
      r.sql = take_until(false, false, dashes);
    } else if (head[0] == "query") {
      r.kind = RecordKind::kQuery;
      if (head.size() < 2) throw FormatError(r.line, "query needs its column types");
      r.types = head[1];
      for (char c : r.types) {
        if (std::string("IRTDBV?").find(c) == std::string::npos) {
          throw FormatError(r.line, std::string("unknown column type letter '") + c + "'");
        }
      }
      for (size_t k = 2; k < head.size(); ++k) {
        if (head[k] == "rowsort") {
          r.rowsort = true;
        } else if (head[k] != "nosort") {
          throw FormatError(r.line, "unknown query option '" + head[k] + "'");
        }
      }
      r.sql = take_until(true, false, dashes);
      if (!dashes) throw FormatError(r.line, "query without ---- before its rows");
      while (i < lines.size() && !blank(i)) r.expected.push_back(lines[i++]);
    } else if (head[0] == "batch" && head.size() == 1) {
      r.kind = RecordKind::kBatch;
      r.sql = take_until(true, true, dashes);
      if (!dashes) throw FormatError(r.line, "batch without ---- before its output");
      while (i < lines.size() && !blank(i)) r.expected.push_back(TrimRight(lines[i++]));
    } else if (head[0] == "connection" && head.size() == 2) {
      r.kind = RecordKind::kConnection;
      r.connection = head[1];
    } else {
      throw FormatError(r.line, "unknown record '" + lines[r.line - 1] + "'");
    }
    if (r.kind != RecordKind::kConnection && TrimRight(r.sql).empty()) {
      throw FormatError(r.line, "record without SQL");
    }
    records.push_back(std::move(r));
  }
  return records;
}

// ---- comparing -------------------------------------------------------------

bool TypeMatches(char letter, SqlType t) {
  switch (letter) {
    case '?':
      return true;
    case 'I':
      return t == SqlType::kBit || t == SqlType::kTinyInt || t == SqlType::kSmallInt ||
             t == SqlType::kInt || t == SqlType::kBigInt;
    case 'R':
      return t == SqlType::kDecimal || t == SqlType::kNumeric || t == SqlType::kMoney ||
             t == SqlType::kSmallMoney || t == SqlType::kFloat || t == SqlType::kReal;
    case 'T':
      return t == SqlType::kChar || t == SqlType::kVarChar || t == SqlType::kNChar ||
             t == SqlType::kNVarChar || t == SqlType::kText || t == SqlType::kNText ||
             t == SqlType::kUniqueIdentifier;
    case 'D':
      return t == SqlType::kDateTime || t == SqlType::kSmallDateTime || t == SqlType::kDate;
    case 'B':
      return t == SqlType::kBinary || t == SqlType::kVarBinary || t == SqlType::kImage;
    case 'V':
      return t == SqlType::kSqlVariant;
  }
  return false;
}

std::string CellText(const Value& v, const TypeInfo& type) {
  std::string s = tools::FormatValue(v, type);
  if (s.empty() && !IsNull(v)) return "(empty)";
  return s;
}

// The cells of an expected row. A one-column row is the whole line, so that
// text with blanks needs no tabs.
std::vector<std::string> SplitExpected(const std::string& line, size_t columns = 0) {
  if (columns == 1) return {line};
  if (line.find('\t') == std::string::npos) return Words(line);
  std::vector<std::string> cells;
  size_t start = 0;
  while (true) {
    size_t tab = line.find('\t', start);
    cells.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return cells;
}

std::string Join(const std::vector<std::string>& cells) {
  std::string out;
  for (size_t k = 0; k < cells.size(); ++k) {
    if (k > 0) out += '\t';
    out += cells[k];
  }
  return out;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "  " + l + "\n";
  return out.empty() ? "  (nothing)\n" : out;
}

std::string Messages(const BatchResult& r) {
  std::string out;
  for (const Message& m : r.messages) {
    out += "  Msg " + std::to_string(m.number) + ", Level " + std::to_string(m.severity) +
           ", Line " + std::to_string(m.line) + ": " + m.text + "\n";
  }
  return out;
}

// Keeps everything, and prints the same run as tillbase-sql would (-W -s "|")
// for batch records.
class RecordingSink : public ResultSink {
 public:
  RecordingSink() : printer_(transcript_, PrintOptions()) {}
  void BeginResultSet(const std::vector<Column>& columns) override {
    collect_.BeginResultSet(columns);
    printer_.BeginResultSet(columns);
  }
  bool Row(std::vector<Value>&& row) override {
    std::vector<Value> copy = row;
    printer_.Row(std::move(copy));
    return collect_.Row(std::move(row));
  }
  void EndResultSet() override {
    collect_.EndResultSet();
    printer_.EndResultSet();
  }
  void RowCount(int64_t count) override {
    collect_.RowCount(count);
    printer_.RowCount(count);
  }
  void OnMessage(const Message& message) override {
    collect_.OnMessage(message);
    printer_.OnMessage(message);
  }
  BatchResult& result() { return collect_.result(); }
  std::vector<std::string> TranscriptLines() const {
    std::vector<std::string> lines;
    std::istringstream in(transcript_.str());
    for (std::string l; std::getline(in, l);) {
      if (!TrimRight(l).empty()) lines.push_back(TrimRight(l));
    }
    return lines;
  }

 private:
  static tools::PrintOptions PrintOptions() {
    tools::PrintOptions o;
    o.trim_trailing = true;
    o.separator = "|";
    o.server_name = "tillbase";
    return o;
  }
  CollectingSink collect_;
  std::ostringstream transcript_;
  tools::SqlcmdPrinter printer_;
};

// ---- running ---------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "tillbase-logic-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (made == nullptr) throw std::runtime_error("cannot create a temporary directory");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class LogicFileRunner {
 public:
  LogicFileRunner(std::string file, const fs::path& data_dir) : file_(std::move(file)) {
    EngineOptions options;
    options.data_dir = data_dir.string();
    options.server_name = "tillbase";
    engine_ = Engine::Open(options);
  }

  void Run(const std::vector<Record>& records) {
    for (const Record& r : records) {
      if (r.kind == RecordKind::kConnection) {
        current_ = r.connection;
        continue;
      }
      RecordingSink sink;
      try {
        Connection& conn = Conn();
        conn.ExecuteBatch(r.sql, sink);
      } catch (const EngineError& e) {
        Fail(r, std::string("the connection failed: ") + e.what());
        return;  // nothing after a lost connection means anything
      }
      Check(r, sink);
    }
  }

 private:
  Connection& Conn() {
    std::unique_ptr<Connection>& c = connections_[current_];
    if (!c) {
      ConnectOptions options;
      options.database = "master";
      options.login = "sa";
      options.program_name = "logic-test";
      c = engine_->Connect(options);
    }
    return *c;
  }

  void Fail(const Record& r, const std::string& what) {
    ADD_FAILURE_AT(file_.c_str(), r.line) << what << "\nSQL:\n" << r.sql;
  }

  void Check(const Record& r, RecordingSink& sink) {
    BatchResult& result = sink.result();
    const Message* error = result.FirstError();
    switch (r.kind) {
      case RecordKind::kStatementOk:
        if (error) Fail(r, "expected success, got errors:\n" + Messages(result));
        break;
      case RecordKind::kStatementError:
        if (!error) {
          Fail(r, "expected error " + std::to_string(r.error_number) + ", the batch succeeded");
        } else if (r.error_number != 0 && error->number != r.error_number) {
          Fail(r, "expected error " + std::to_string(r.error_number) + ", got:\n" +
                      Messages(result));
        } else if (!r.error_text.empty() && error->text != r.error_text) {
          Fail(r, "expected the message:\n  " + r.error_text + "\ngot:\n" + Messages(result));
        }
        break;
      case RecordKind::kQuery:
        CheckQuery(r, result);
        break;
      case RecordKind::kBatch: {
        std::vector<std::string> got = sink.TranscriptLines();
        if (got != r.expected) {
          Fail(r, "expected output:\n" + Lines(r.expected) + "got:\n" + Lines(got));
        }
        break;
      }
      case RecordKind::kConnection:
        break;
    }
  }

  void CheckQuery(const Record& r, const BatchResult& result) {
    if (result.FirstError()) {
      Fail(r, "expected rows, got errors:\n" + Messages(result));
      return;
    }
    if (result.result_sets.size() != 1) {
      Fail(r, "expected one result set, got " + std::to_string(result.result_sets.size()));
      return;
    }
    const ResultSet& rs = result.result_sets[0];
    if (rs.columns.size() != r.types.size()) {
      Fail(r, "expected " + std::to_string(r.types.size()) + " columns, got " +
                  std::to_string(rs.columns.size()));
      return;
    }
    for (size_t k = 0; k < rs.columns.size(); ++k) {
      if (!TypeMatches(r.types[k], rs.columns[k].type.type)) {
        Fail(r, "column " + std::to_string(k + 1) + " (" + rs.columns[k].name + ") is " +
                    std::string(SqlTypeName(rs.columns[k].type.type)) + ", expected type letter " +
                    r.types[k]);
        return;
      }
    }
    std::vector<std::vector<std::string>> got;
    for (const std::vector<Value>& row : rs.rows) {
      std::vector<std::string> cells;
      for (size_t k = 0; k < row.size() && k < rs.columns.size(); ++k) {
        cells.push_back(CellText(row[k], rs.columns[k].type));
      }
      got.push_back(std::move(cells));
    }
    std::vector<std::vector<std::string>> want;
    for (const std::string& line : r.expected) want.push_back(SplitExpected(line, r.types.size()));
    if (r.rowsort) {
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
    }
    if (got != want) {
      std::vector<std::string> g, w;
      for (const auto& row : got) g.push_back(Join(row));
      for (const auto& row : want) w.push_back(Join(row));
      Fail(r, "expected rows:\n" + Lines(w) + "got:\n" + Lines(g));
    }
  }

  std::string file_;
  std::shared_ptr<Engine> engine_;
  std::map<std::string, std::unique_ptr<Connection>> connections_;
  std::string current_ = "main";
};

// ---- the gtest cases -------------------------------------------------------

bool RunPending() {
  const char* v = std::getenv("TILLBASE_LOGIC_PENDING");
  return v != nullptr && std::string(v) == "1";
}

std::vector<std::string> FindTestFiles() {
  std::vector<std::string> files;
  std::error_code ec;
  if (!fs::is_directory(kLogicDir, ec)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(kLogicDir, ec)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".test") continue;
    std::string rel = fs::relative(entry.path(), kLogicDir).generic_string();
    if (rel.rfind("pending/", 0) == 0 && !RunPending()) continue;
    files.push_back(rel);
  }
  std::sort(files.begin(), files.end());
  return files;
}

class LogicTest : public ::testing::TestWithParam<std::string> {};

TEST_P(LogicTest, Runs) {
  const fs::path path = kLogicDir / GetParam();
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "cannot read " << path;
  std::stringstream text;
  text << in.rdbuf();
  std::vector<Record> records;
  try {
    records = ParseTestFile(text.str());
  } catch (const FormatError& e) {
    FAIL() << path.string() << ": " << e.what();
  }
  TempDir dir;
  LogicFileRunner runner(path.string(), dir.path());
  runner.Run(records);
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  if (name.size() > 5 && name.substr(name.size() - 5) == ".test") name.resize(name.size() - 5);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LogicTest);
INSTANTIATE_TEST_SUITE_P(Files, LogicTest, ::testing::ValuesIn(FindTestFiles()), TestName);

// The reader of the format itself, so that a malformed file fails loudly
// instead of silently testing less.
TEST(LogicTestFormat, ReadsRecords) {
  std::vector<Record> rs = ParseTestFile(
      "# comment\n"
      "statement ok\n"
      "create table t (a int)\n"
      "insert t values (1)\n"
      "\n"
      "statement error 208 Invalid object name 'x'.\n"
      "select * from x\n"
      "\n"
      "query IT rowsort\n"
      "select 1, 'a b'\n"
      "----\n"
      "1\ta b\n"
      "\n"
      "connection other\n"
      "batch\n"
      "print 'x'\n"
      "\n"
      "print 'y'\n"
      "----\n"
      "x\n"
      "y\n");
  ASSERT_EQ(rs.size(), 5u);
  EXPECT_EQ(rs[0].sql, "create table t (a int)\ninsert t values (1)\n");
  EXPECT_EQ(rs[1].error_number, 208);
  EXPECT_EQ(rs[1].error_text, "Invalid object name 'x'.");
  EXPECT_EQ(rs[2].types, "IT");
  EXPECT_TRUE(rs[2].rowsort);
  EXPECT_EQ(SplitExpected(rs[2].expected[0]), (std::vector<std::string>{"1", "a b"}));
  EXPECT_EQ(SplitExpected("1   two  NULL"), (std::vector<std::string>{"1", "two", "NULL"}));
  EXPECT_EQ(SplitExpected("was null", 1), (std::vector<std::string>{"was null"}));
  EXPECT_EQ(rs[3].connection, "other");
  EXPECT_EQ(rs[4].sql, "print 'x'\n\nprint 'y'\n");
  EXPECT_EQ(rs[4].expected, (std::vector<std::string>{"x", "y"}));
  for (const char* bad : {"query IX\nselect 1\n----\n1\n", "query I\nselect 1\n", "frobnicate\n",
                          "statement error abc\nselect 1\n", "statement ok\n\n"}) {
    EXPECT_THROW(ParseTestFile(bad), FormatError) << bad;
  }
}

}  // namespace
}  // namespace tillbase::engine

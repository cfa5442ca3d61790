// Prints what a batch produces the way sqlcmd prints it: result sets as a
// grid (column names, a line of dashes, fixed-width columns), "(n rows
// affected)", PRINT text as it is, errors as "Msg n, Level l, State s,
// Server X, Line x" followed by the message.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::tools {

struct PrintOptions {
  std::string separator = " ";  // -s
  bool trim_trailing = false;   // -W: no padding, trailing blanks of values dropped
  int header_rows = 0;          // -h: 0 headers once, -1 none, n > 0 again every n rows
  std::string server_name;      // the "Server" of error lines
};

class SqlcmdPrinter : public ResultSink {
 public:
  SqlcmdPrinter(std::ostream& out, PrintOptions options);

  void BeginResultSet(const std::vector<Column>& columns) override;
  bool Row(std::vector<Value>&& row) override;
  void EndResultSet() override;
  void RowCount(int64_t count) override;
  void OnMessage(const Message& message) override;

  // Whether an error (severity 11 or more) was printed since the last reset.
  bool saw_error() const { return saw_error_; }
  void ResetError() { saw_error_ = false; }

 private:
  void PrintHeadings();
  void PrintCell(const std::string& text, size_t col);

  std::ostream& out_;
  PrintOptions options_;
  std::vector<Column> columns_;
  std::vector<size_t> widths_;
  int64_t rows_in_set_ = 0;
  bool in_result_set_ = false;
  bool after_result_set_ = false;  // the blank line after a grid is out already
  bool saw_error_ = false;
};

// "Msg 208, Level 16, State 1, Server X, Line 1" (with ", Procedure p" before
// the line when the error comes from a procedure).
std::string MessageHeader(const Message& message, const std::string& server_name);

}  // namespace tillbase::engine::tools

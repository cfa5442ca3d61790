#include "engine/tools/sqlcmd_printer.h"

#include <algorithm>

#include "engine/tools/value_format.h"

namespace tillbase::engine::tools {
namespace {

std::string TrimRight(std::string s) {
  size_t end = s.find_last_not_of(' ');
  s.erase(end == std::string::npos ? 0 : end + 1);
  return s;
}

}  // namespace

std::string MessageHeader(const Message& message, const std::string& server_name) {
  std::string out = "Msg " + std::to_string(message.number) + ", Level " +
                    std::to_string(message.severity) + ", State " + std::to_string(message.state) +
                    ", Server " + server_name;
  if (!message.procedure.empty()) out += ", Procedure " + message.procedure;
  out += ", Line " + std::to_string(message.line);
  return out;
}

SqlcmdPrinter::SqlcmdPrinter(std::ostream& out, PrintOptions options)
    : out_(out), options_(std::move(options)) {}

void SqlcmdPrinter::BeginResultSet(const std::vector<Column>& columns) {
  if (in_result_set_) EndResultSet();
  columns_ = columns;
  widths_.clear();
  for (const Column& c : columns_) {
    widths_.push_back(std::max<size_t>(TypeDisplayWidth(c.type), TextWidth(c.name)));
  }
  rows_in_set_ = 0;
  in_result_set_ = true;
  after_result_set_ = false;
  if (options_.header_rows >= 0) PrintHeadings();
}

void SqlcmdPrinter::PrintHeadings() {
  std::string names;
  std::string dashes;
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (i > 0) {
      names += options_.separator;
      dashes += options_.separator;
    }
    const std::string& name = columns_[i].name;
    size_t len = TextWidth(name);
    if (options_.trim_trailing) {
      names += name;
      dashes.append(std::max<size_t>(len, 1), '-');
    } else {
      names += name;
      names.append(widths_[i] - len, ' ');
      dashes.append(widths_[i], '-');
    }
  }
  out_ << names << '\n' << dashes << '\n';
}

void SqlcmdPrinter::PrintCell(const std::string& text, size_t col) {
  const TypeInfo& type = columns_[col].type;
  std::string shown = text;
  if (IsLargeType(type) && TextWidth(shown) > kLargeTypeWidth) {
    shown = std::string(TextPrefix(shown, kLargeTypeWidth));
  }
  if (options_.trim_trailing) {
    out_ << TrimRight(std::move(shown));
    return;
  }
  size_t len = TextWidth(shown);
  size_t pad = widths_[col] > len ? widths_[col] - len : 0;
  if (IsRightAligned(type.type)) {
    out_ << std::string(pad, ' ') << shown;
  } else {
    out_ << shown << std::string(pad, ' ');
  }
}

bool SqlcmdPrinter::Row(std::vector<Value>&& row) {
  for (size_t i = 0; i < row.size() && i < columns_.size(); ++i) {
    if (i > 0) out_ << options_.separator;
    PrintCell(FormatValue(row[i], columns_[i].type), i);
  }
  out_ << '\n';
  ++rows_in_set_;
  if (options_.header_rows > 0 && rows_in_set_ % options_.header_rows == 0) {
    out_ << '\n';
    PrintHeadings();
  }
  return true;
}

void SqlcmdPrinter::EndResultSet() {
  if (!in_result_set_) return;
  in_result_set_ = false;
  out_ << '\n';
  after_result_set_ = true;
}

void SqlcmdPrinter::RowCount(int64_t count) {
  if (in_result_set_) EndResultSet();
  if (!after_result_set_) out_ << '\n';
  out_ << '(' << count << " rows affected)\n";
  after_result_set_ = false;
}

void SqlcmdPrinter::OnMessage(const Message& message) {
  if (in_result_set_) EndResultSet();
  after_result_set_ = false;
  if (message.IsError()) {
    saw_error_ = true;
    out_ << MessageHeader(message, options_.server_name) << '\n';
  }
  out_ << message.text << '\n';
  out_.flush();
}

}  // namespace tillbase::engine::tools

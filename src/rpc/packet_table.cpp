#include "rpc/packet_table.h"

#include <algorithm>
#include <cstdio>

namespace tillbase::rpc {
namespace {

constexpr size_t kMaxColumnWidth = 60;

// Decodes one UTF-8 sequence at `i`; bad bytes count as one narrow char.
char32_t NextCodePoint(const std::string& s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  if (i + static_cast<size_t>(extra) >= s.size()) extra = 0;  // cut-off sequence
  char32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
  for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += static_cast<size_t>(extra) + 1;
  return cp;
}

bool Wide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

size_t DisplayWidth(const std::string& s) {
  size_t width = 0;
  for (size_t i = 0; i < s.size();) width += Wide(NextCodePoint(s, i)) ? 2 : 1;
  return width;
}

// Cuts text to at most `max` columns, marking the cut with "...".
std::string Fit(const std::string& s, size_t max) {
  if (DisplayWidth(s) <= max) return s;
  size_t width = 0, i = 0;
  while (i < s.size()) {
    size_t at = i;
    size_t w = Wide(NextCodePoint(s, i)) ? 2 : 1;
    if (width + w > max - 3) return s.substr(0, at) + "...";
    width += w;
  }
  return s;
}

std::string CellText(const Variant& v) {
  if (v.IsNull()) return "NULL";
  if (v.IsEmpty()) return "";
  if (v.IsByteArray()) {
    std::string hex = "0x";
    char digits[3];
    for (uint8_t b : v.Bytes()) {
      std::snprintf(digits, sizeof digits, "%02X", b);
      hex += digits;
    }
    return hex;
  }
  std::string text;
  try {
    text = VarToStr(v);
  } catch (const std::exception&) {
    text = v.DebugString();
  }
  // One line per row: line breaks inside a value would break the table.
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

}  // namespace

std::string FormatPacketTable(const DataPacket& packet) {
  const bool delta = packet.kind == PacketKind::kDelta;
  const bool errors = packet.kind == PacketKind::kErrors;
  std::vector<std::string> header;
  if (delta || errors) header.push_back("state");
  for (const PacketField& f : packet.fields) header.push_back(f.name);
  if (errors) header.push_back("error");

  std::vector<std::vector<std::string>> lines;
  for (const PacketRow& row : packet.rows) {
    std::vector<std::string> line;
    if (delta || errors) line.emplace_back(RowStateName(row.state));
    for (const Variant& v : row.values) line.push_back(Fit(CellText(v), kMaxColumnWidth));
    if (errors) line.push_back(row.error_message);
    lines.push_back(std::move(line));
  }
  std::vector<size_t> widths(header.size(), 0);
  auto widen = [&](const std::vector<std::string>& cells) {
    for (size_t c = 0; c < cells.size() && c < widths.size(); ++c) {
      widths[c] = std::max(widths[c], DisplayWidth(cells[c]));
    }
  };
  widen(header);
  for (const auto& line : lines) widen(line);

  std::string out;
  auto emit = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) text += " | ";
      text += cells[c];
      if (c + 1 < cells.size()) text.append(widths[c] - DisplayWidth(cells[c]), ' ');
    }
    out += text + '\n';
  };
  emit(header);
  std::string rule;
  for (size_t c = 0; c < widths.size(); ++c) {
    if (c > 0) rule += "-+-";
    rule.append(widths[c], '-');
  }
  out += rule + '\n';
  for (const auto& line : lines) emit(line);
  out +=
      "(" + std::to_string(packet.rows.size()) + (packet.rows.size() == 1 ? " row)\n" : " rows)\n");
  return out;
}

}  // namespace tillbase::rpc

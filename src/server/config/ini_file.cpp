#include "server/config/ini_file.h"

#include <mutex>
#include <optional>

#include "server/config/atomic_file.h"
#include "server/config/config_error.h"

namespace tillbase::config {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// One line of the file, as read; `raw` without its line ending.
struct Line {
  enum Kind { kOther, kSection, kKey };
  std::string raw;
  std::string eol;
  Kind kind = kOther;
  // kSection: the section name (UTF-8); kKey: the key name (UTF-8). Empty for
  // a header whose bytes are no text of the code page: it still ends the
  // section before it but matches no name.
  std::string name;
  bool name_known = false;
};

// The file's lines. Names are converted line by line, so a line that is no
// text of the code page spoils nothing but itself; values stay in the
// file's bytes until read. Splitting at "=" on bytes is safe: "=" is neither
// a lead nor a trail byte of the double-byte code pages.
class Document {
 public:
  Document(std::string_view bytes, const CodePage& code_page) {
    size_t start = 0;
    while (start < bytes.size()) {
      size_t end = bytes.find('\n', start);
      Line line;
      if (end == std::string_view::npos) {
        line.raw = std::string(bytes.substr(start));
        start = bytes.size();
      } else {
        size_t content_end = end;
        if (content_end > start && bytes[content_end - 1] == '\r') --content_end;
        line.raw = std::string(bytes.substr(start, content_end - start));
        line.eol = std::string(bytes.substr(content_end, end + 1 - content_end));
        start = end + 1;
        if (eol_.empty()) eol_ = line.eol;
      }
      Classify(&line, code_page);
      lines_.push_back(std::move(line));
    }
    if (eol_.empty()) eol_ = "\r\n";
  }

  const std::vector<Line>& lines() const { return lines_; }
  const std::string& eol() const { return eol_; }

  // [first, last) of the first section of that name: first is its header.
  std::optional<std::pair<size_t, size_t>> FindSection(std::string_view name) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].kind == Line::kSection && lines_[i].name_known &&
          SameName(lines_[i].name, name)) {
        size_t end = i + 1;
        while (end < lines_.size() && lines_[end].kind != Line::kSection) ++end;
        return std::make_pair(i, end);
      }
    }
    return std::nullopt;
  }

  std::optional<size_t> FindKey(std::pair<size_t, size_t> section, std::string_view key) const {
    for (size_t i = section.first + 1; i < section.second; ++i) {
      if (lines_[i].kind == Line::kKey && lines_[i].name_known && SameName(lines_[i].name, key)) {
        return i;
      }
    }
    return std::nullopt;
  }

  // The value bytes of a key line: trimmed, one pair of enclosing quotes off.
  static std::string_view ValueBytes(const Line& line) {
    std::string_view raw = line.raw;
    std::string_view value = Trim(raw.substr(raw.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }

  // Sets the key's line, adding the section or the key when missing.
  void Set(std::string_view section, std::string_view key, const std::string& section_bytes,
           const std::string& key_bytes, const std::string& value_bytes) {
    auto range = FindSection(section);
    if (!range) {
      EndLastLine();
      lines_.push_back(MakeLine("[" + section_bytes + "]", Line::kSection, std::string(section)));
      lines_.push_back(MakeLine(key_bytes + "=" + value_bytes, Line::kKey, std::string(key)));
      return;
    }
    if (auto index = FindKey(*range, key)) {
      Line& line = lines_[*index];
      // The key keeps its spelling in the file; only the value changes.
      std::string_view name_bytes = Trim(std::string_view(line.raw).substr(0, line.raw.find('=')));
      line.raw = std::string(name_bytes) + "=" + value_bytes;
      return;
    }
    // After the last non-blank line of the section, so that blank lines
    // separating it from the next section stay where they are.
    size_t insert_at = range->second;
    while (insert_at > range->first + 1 && Trim(lines_[insert_at - 1].raw).empty()) --insert_at;
    if (insert_at == lines_.size())
      EndLastLine();
    else if (lines_[insert_at - 1].eol.empty())
      lines_[insert_at - 1].eol = eol_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at),
                  MakeLine(key_bytes + "=" + value_bytes, Line::kKey, std::string(key)));
  }

  bool DeleteKey(std::string_view section, std::string_view key) {
    auto range = FindSection(section);
    if (!range) return false;
    auto index = FindKey(*range, key);
    if (!index) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*index));
    return true;
  }

  bool EraseSection(std::string_view section) {
    auto range = FindSection(section);
    if (!range) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->first),
                 lines_.begin() + static_cast<std::ptrdiff_t>(range->second));
    return true;
  }

  std::string Bytes() const {
    std::string out;
    for (const Line& line : lines_) out += line.raw + line.eol;
    return out;
  }

 private:
  static void Classify(Line* line, const CodePage& code_page) {
    std::string_view text = Trim(line->raw);
    if (text.empty() || text.front() == ';') return;
    if (text.front() == '[') {
      line->kind = Line::kSection;
      try {
        std::string utf8 = code_page.ToUtf8(text);
        size_t close = utf8.find(']');
        if (close != std::string::npos) {
          line->name = std::string(Trim(std::string_view(utf8).substr(1, close - 1)));
          line->name_known = true;
        }
      } catch (const CodePageError&) {
      }
      // A "[" line without "]" is no header: it is kept as an unknown line.
      if (!line->name_known && line->raw.find(']') == std::string::npos) line->kind = Line::kOther;
      return;
    }
    size_t equals = text.find('=');
    if (equals == std::string_view::npos) return;
    line->kind = Line::kKey;
    try {
      line->name = code_page.ToUtf8(Trim(text.substr(0, equals)));
      line->name_known = !line->name.empty();
    } catch (const CodePageError&) {
    }
  }

  Line MakeLine(std::string raw, Line::Kind kind, std::string name) const {
    Line line;
    line.raw = std::move(raw);
    line.eol = eol_;
    line.kind = kind;
    line.name = std::move(name);
    line.name_known = true;
    return line;
  }

  void EndLastLine() {
    if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = eol_;
  }

  std::vector<Line> lines_;
  std::string eol_;
};

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

void CheckSectionName(std::string_view section) {
  if (section.empty() || Trim(section) != section || HasLineBreak(section) ||
      section.find(']') != section.npos) {
    throw ConfigError("Invalid section name '" + std::string(section) + "'");
  }
}

void CheckKeyName(std::string_view key) {
  if (key.empty() || Trim(key) != key || HasLineBreak(key) || key.find('=') != key.npos ||
      key.front() == '[' || key.front() == ';') {
    throw ConfigError("Invalid key name '" + std::string(key) + "'");
  }
}

void CheckValue(std::string_view key, std::string_view value) {
  if (HasLineBreak(value)) {
    throw ConfigError("The value of key '" + std::string(key) + "' holds a line break");
  }
}

// Writers of one process take turns, so that two changes to different keys
// of one file never lose each other (each reads, changes and replaces the
// whole file).
std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

IniFile::IniFile(std::string path, CodePage code_page)
    : path_(std::move(path)), code_page_(std::move(code_page)) {}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view default_value) const {
  auto bytes = ReadWholeFile(path_);
  if (!bytes) return std::string(default_value);
  Document document(*bytes, code_page_);
  auto range = document.FindSection(section);
  if (!range) return std::string(default_value);
  auto index = document.FindKey(*range, key);
  if (!index) return std::string(default_value);
  std::string_view value = Document::ValueBytes(document.lines()[*index]);
  if (value.size() > kMaxValueBytes) value = value.substr(0, kMaxValueBytes);
  try {
    return code_page_.ToUtf8DroppingCutTail(value);
  } catch (const CodePageError& e) {
    throw CodePageError(path_ + ": the value of key '" + std::string(key) + "' in section '" +
                        std::string(section) + "': " + e.what());
  }
}

bool IniFile::SectionExists(std::string_view section) const {
  auto bytes = ReadWholeFile(path_);
  return bytes && Document(*bytes, code_page_).FindSection(section).has_value();
}

bool IniFile::ValueExists(std::string_view section, std::string_view key) const {
  auto bytes = ReadWholeFile(path_);
  if (!bytes) return false;
  Document document(*bytes, code_page_);
  auto range = document.FindSection(section);
  return range && document.FindKey(*range, key).has_value();
}

std::vector<std::string> IniFile::ReadSections() const {
  std::vector<std::string> names;
  auto bytes = ReadWholeFile(path_);
  if (!bytes) return names;
  Document document(*bytes, code_page_);
  for (const Line& line : document.lines()) {
    if (line.kind != Line::kSection || !line.name_known) continue;
    bool seen = false;
    for (const std::string& name : names) seen = seen || SameName(name, line.name);
    if (!seen) names.push_back(line.name);
  }
  return names;
}

std::vector<std::string> IniFile::ReadKeys(std::string_view section) const {
  std::vector<std::string> keys;
  auto bytes = ReadWholeFile(path_);
  if (!bytes) return keys;
  Document document(*bytes, code_page_);
  auto range = document.FindSection(section);
  if (!range) return keys;
  for (size_t i = range->first + 1; i < range->second; ++i) {
    const Line& line = document.lines()[i];
    if (line.kind == Line::kKey && line.name_known) keys.push_back(line.name);
  }
  return keys;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  WriteStrings(section, {{std::string(key), std::string(value)}});
}

void IniFile::WriteStrings(std::string_view section,
                           const std::vector<std::pair<std::string, std::string>>& values) {
  CheckSectionName(section);
  for (const auto& [key, value] : values) {
    CheckKeyName(key);
    CheckValue(key, value);
  }
  // Converted up front: a text the code page cannot hold fails before the
  // file is touched.
  std::string section_bytes = code_page_.FromUtf8(section);
  std::vector<std::pair<std::string, std::string>> converted;
  for (const auto& [key, value] : values) {
    converted.emplace_back(code_page_.FromUtf8(key), code_page_.FromUtf8(value));
  }

  std::lock_guard lock(WriteMutex());
  std::optional<std::string> bytes;
  try {
    bytes = ReadWholeFile(path_);
  } catch (const ConfigError&) {
    // A file that exists but cannot be read must not be replaced by one that
    // holds only the new key.
    throw UnableToWrite(path_);
  }
  Document document(bytes.value_or(""), code_page_);
  for (size_t i = 0; i < values.size(); ++i) {
    document.Set(section, values[i].first, section_bytes, converted[i].first, converted[i].second);
  }
  ReplaceFile(path_, document.Bytes(), 0666);
}

void IniFile::DeleteKey(std::string_view section, std::string_view key) {
  std::lock_guard lock(WriteMutex());
  auto bytes = ReadWholeFile(path_);
  if (!bytes) return;
  Document document(*bytes, code_page_);
  if (document.DeleteKey(section, key)) ReplaceFile(path_, document.Bytes(), 0666);
}

void IniFile::EraseSection(std::string_view section) {
  std::lock_guard lock(WriteMutex());
  auto bytes = ReadWholeFile(path_);
  if (!bytes) return;
  Document document(*bytes, code_page_);
  if (document.EraseSection(section)) ReplaceFile(path_, document.Bytes(), 0666);
}

}  // namespace tillbase::config

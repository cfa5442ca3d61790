// Text in the ANSI code page. Inside the system all text is UTF-8; the files
// and wire formats that older installations and devices write in the ANSI
// code page (configuration files, the backup catalogue, upgrade scripts, the
// directory protocol, plug-in strings) are converted at the edge with iconv.
//
// The ANSI code page is a process-wide setting; its default is CP936 (GBK),
// or the iconv name in the environment variable TILLBASE_ANSI_CODEPAGE.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tillbase {

// An unknown code page, or bytes that do not convert. The message names the
// code page and the offset of the first byte that failed.
class CodePageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A code page known to iconv (for example "CP936", "GBK", "CP1252").
// Conversions are strict: nothing is replaced or dropped silently.
class CodePage {
 public:
  // Raises CodePageError "Unknown code page '<name>'" when iconv does not
  // know the name.
  explicit CodePage(std::string name);

  const std::string& name() const { return name_; }

  // UTF-8 to this code page; raises when the text is not valid UTF-8 or holds
  // a character the code page cannot represent.
  std::string FromUtf8(std::string_view utf8) const;
  // This code page to UTF-8; raises on bytes that are no character of the
  // code page, an incomplete character at the end included.
  std::string ToUtf8(std::string_view bytes) const;
  // As ToUtf8, but an incomplete character at the very end (a lead byte whose
  // trail byte was cut off) is left out instead of raising. For texts that
  // were cut at a byte count.
  std::string ToUtf8DroppingCutTail(std::string_view bytes) const;
  // The number of bytes the UTF-8 text takes in this code page.
  size_t ByteLength(std::string_view utf8) const;

  friend bool operator==(const CodePage& a, const CodePage& b) { return a.name_ == b.name_; }

 private:
  std::string name_;
};

// The process's ANSI code page.
CodePage AnsiCodePage();
// Changes it for the whole process; raises CodePageError for an unknown name.
void SetAnsiCodePage(const std::string& name);

// Shorthands with the process's ANSI code page.
std::string Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view bytes);
size_t AnsiByteLength(std::string_view utf8);

}  // namespace tillbase

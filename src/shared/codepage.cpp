#include "shared/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace tillbase {
namespace {

constexpr const char* kDefaultAnsiCodePage = "CP936";

// One conversion direction. An iconv descriptor keeps shift state, so each
// conversion opens its own: CodePage objects stay safe to share by threads.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from) {
    handle_ = iconv_open(to.c_str(), from.c_str());
  }
  ~Converter() {
    if (ok()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

  enum class Outcome { kDone, kInvalid, kIncompleteTail };

  // Converts `input`; on failure `*failed_at` is the offset of the first byte
  // that did not convert and `out` holds what converted before it.
  Outcome Run(std::string_view input, std::string* out, size_t* failed_at) {
    out->clear();
    char* in_ptr = const_cast<char*>(input.data());
    size_t in_left = input.size();
    std::string buffer(input.size() * 4 + 16, '\0');
    while (true) {
      char* out_ptr = buffer.data();
      size_t out_left = buffer.size();
      size_t rc = iconv(handle_, &in_ptr, &in_left, &out_ptr, &out_left);
      out->append(buffer.data(), buffer.size() - out_left);
      if (rc != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) continue;
      *failed_at = input.size() - in_left;
      return errno == EINVAL ? Outcome::kIncompleteTail : Outcome::kInvalid;
    }
    // Flush a final shift sequence (stateful encodings only).
    char* out_ptr = buffer.data();
    size_t out_left = buffer.size();
    iconv(handle_, nullptr, nullptr, &out_ptr, &out_left);
    out->append(buffer.data(), buffer.size() - out_left);
    return Outcome::kDone;
  }

 private:
  iconv_t handle_;
};

std::mutex& AnsiMutex() {
  static std::mutex mutex;
  return mutex;
}

CodePage& AnsiSetting() {
  static CodePage code_page = [] {
    const char* env = std::getenv("TILLBASE_ANSI_CODEPAGE");
    return CodePage(env != nullptr && *env != '\0' ? env : kDefaultAnsiCodePage);
  }();
  return code_page;
}

}  // namespace

CodePage::CodePage(std::string name) : name_(std::move(name)) {
  Converter probe("UTF-8", name_);
  if (name_.empty() || !probe.ok()) throw CodePageError("Unknown code page '" + name_ + "'");
}

std::string CodePage::FromUtf8(std::string_view utf8) const {
  Converter converter(name_, "UTF-8");
  std::string out;
  size_t failed_at = 0;
  auto outcome = converter.Run(utf8, &out, &failed_at);
  if (outcome != Converter::Outcome::kDone) {
    // Either broken UTF-8 or a character the code page lacks; say which.
    Converter check("UTF-32", "UTF-8");
    std::string ignored;
    size_t utf8_failed_at = 0;
    if (check.Run(utf8, &ignored, &utf8_failed_at) != Converter::Outcome::kDone) {
      throw CodePageError("Text is not valid UTF-8 at byte offset " +
                          std::to_string(utf8_failed_at));
    }
    throw CodePageError("Text has a character that code page " + name_ +
                        " cannot represent at byte offset " + std::to_string(failed_at));
  }
  return out;
}

std::string CodePage::ToUtf8(std::string_view bytes) const {
  Converter converter("UTF-8", name_);
  std::string out;
  size_t failed_at = 0;
  if (converter.Run(bytes, &out, &failed_at) != Converter::Outcome::kDone) {
    throw CodePageError("Bytes are not valid " + name_ + " text at byte offset " +
                        std::to_string(failed_at));
  }
  return out;
}

std::string CodePage::ToUtf8DroppingCutTail(std::string_view bytes) const {
  Converter converter("UTF-8", name_);
  std::string out;
  size_t failed_at = 0;
  auto outcome = converter.Run(bytes, &out, &failed_at);
  if (outcome == Converter::Outcome::kInvalid) {
    throw CodePageError("Bytes are not valid " + name_ + " text at byte offset " +
                        std::to_string(failed_at));
  }
  return out;
}

size_t CodePage::ByteLength(std::string_view utf8) const { return FromUtf8(utf8).size(); }

CodePage AnsiCodePage() {
  std::lock_guard lock(AnsiMutex());
  return AnsiSetting();
}

void SetAnsiCodePage(const std::string& name) {
  CodePage code_page(name);
  std::lock_guard lock(AnsiMutex());
  AnsiSetting() = std::move(code_page);
}

std::string Utf8ToAnsi(std::string_view utf8) { return AnsiCodePage().FromUtf8(utf8); }
std::string AnsiToUtf8(std::string_view bytes) { return AnsiCodePage().ToUtf8(bytes); }
size_t AnsiByteLength(std::string_view utf8) { return AnsiCodePage().ByteLength(utf8); }

}  // namespace tillbase

#include "db/odbc/odbc_types.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdlib>

#include "db/driver.h"
#include "db/field_types.h"
#include "db/text_util.h"

namespace tillbase::db::odbc {
namespace {

// SQL Server's driver-specific type codes.
constexpr int kSsVariant = -150;
constexpr int kSsXml = -152;
constexpr int kSsTime2 = -154;
constexpr int kSsTimestampOffset = -155;

}  // namespace

std::string TypeNameOfSqlType(int sql_type) {
  switch (sql_type) {
    case SQL_BIT:
      return "bit";
    case SQL_TINYINT:
      return "tinyint";
    case SQL_SMALLINT:
      return "smallint";
    case SQL_INTEGER:
      return "int";
    case SQL_BIGINT:
      return "bigint";
    case SQL_DECIMAL:
      return "decimal";
    case SQL_NUMERIC:
      return "numeric";
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return "float";
    case SQL_REAL:
      return "real";
    case SQL_CHAR:
      return "char";
    case SQL_VARCHAR:
      return "varchar";
    case SQL_LONGVARCHAR:
      return "text";
    case SQL_WCHAR:
      return "nchar";
    case SQL_WVARCHAR:
      return "nvarchar";
    case SQL_WLONGVARCHAR:
      return "ntext";
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME:
      return "datetime";
    case SQL_TYPE_DATE:
      return "date";
    case SQL_TYPE_TIME:
    case kSsTime2:
      return "time";
    case kSsTimestampOffset:
      return "datetimeoffset";
    case SQL_GUID:
      return "uniqueidentifier";
    case SQL_BINARY:
      return "binary";
    case SQL_VARBINARY:
      return "varbinary";
    case SQL_LONGVARBINARY:
      return "image";
    case kSsVariant:
      return "sql_variant";
    case kSsXml:
      return "xml";
    default:
      return "";
  }
}

std::string ResolveTypeName(std::string_view driver_type_name, int sql_type) {
  std::string name = NormaliseTypeName(driver_type_name);
  SqlTypeDesc probe{name, 0, 0, 0};
  if (!name.empty() && FieldTypeOf(probe, true) != 0) return name;
  std::string by_code = TypeNameOfSqlType(sql_type);
  return by_code.empty() ? name : by_code;
}

std::string CleanDiagnostic(std::string_view text) {
  while (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) break;
    text.remove_prefix(close + 1);
  }
  return std::string(TrimBlanks(text));
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 0x6) {
      len = 2;
    } else if ((c >> 4) == 0xE) {
      len = 3;
    } else if ((c >> 3) == 0x1E) {
      len = 4;
    }
    if (len > 1) {
      if (i + len > text.size()) {
        len = 1;
      } else {
        cp = c & (0xFF >> (len + 1));
        for (size_t k = 1; k < len; ++k) {
          const unsigned char cc = static_cast<unsigned char>(text[i + k]);
          if ((cc >> 6) != 0x2) {
            cp = 0xFFFD;
            len = 1;
            break;
          }
          cp = (cp << 6) | (cc & 0x3F);
        }
      }
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

ProcedureName ParseProcedureName(std::string_view text) {
  text = TrimBlanks(text);
  std::vector<std::string> parts(1);
  std::string suffix;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '[' || c == '"') {
      const char close = c == '[' ? ']' : '"';
      ++i;
      while (i < text.size()) {
        if (text[i] == close) {
          if (i + 1 < text.size() && text[i + 1] == close) {
            parts.back().push_back(close);
            i += 2;
            continue;
          }
          break;
        }
        parts.back().push_back(text[i++]);
      }
    } else if (c == '.') {
      parts.emplace_back();
    } else if (c == ';') {
      suffix = std::string(TrimBlanks(text.substr(i + 1)));
      break;
    } else {
      parts.back().push_back(c);
    }
  }
  ProcedureName out;
  out.name = parts.back();
  if (parts.size() >= 2) out.schema = parts[parts.size() - 2];
  if (parts.size() >= 3) out.catalog = parts[parts.size() - 3];
  std::string call;
  if (parts.size() >= 3) call += QuoteIdentifier(out.catalog) + ".";
  if (parts.size() >= 2) call += (out.schema.empty() ? "" : QuoteIdentifier(out.schema)) + ".";
  call += QuoteIdentifier(out.name);
  out.group = suffix.empty() ? 1 : std::atoi(suffix.c_str());
  if (out.group != 1) call += ";" + suffix;
  out.call_name = call;
  return out;
}

std::string CallEscape(const std::string& call_name, int parameter_count) {
  std::string out = "{? = call " + call_name;
  if (parameter_count > 0) {
    out += "(";
    for (int i = 0; i < parameter_count; ++i) out += i == 0 ? "?" : ",?";
    out += ")";
  }
  out += "}";
  return out;
}

std::string EscapePattern(std::string_view text, std::string_view escape) {
  std::string out;
  for (char c : text) {
    if (!escape.empty() && (c == '_' || c == '%')) out += escape;
    out.push_back(c);
  }
  return out;
}

}  // namespace tillbase::db::odbc

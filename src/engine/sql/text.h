// Text helpers of the function library: UTF-8 code points, the
// case-insensitive comparison T-SQL text uses, and LIKE.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tillbase::engine::sql {

std::vector<char32_t> DecodeUtf8(std::string_view s);
std::string EncodeUtf8(const std::vector<char32_t>& cps);
void AppendUtf8(std::string& out, char32_t cp);
size_t CodePointCount(std::string_view s);
// The first n code points of s (all of s when it is shorter).
std::string_view PrefixCodePoints(std::string_view s, size_t n);

char32_t FoldCase(char32_t c);  // to lower case
char32_t UpperCase(char32_t c);
std::string ToUpper(std::string_view s);
std::string ToLower(std::string_view s);

std::string_view TrimTrailingBlanks(std::string_view s);
std::string_view TrimLeadingBlanks(std::string_view s);

// <0, 0, >0 ignoring letter case and trailing blanks.
int CompareText(std::string_view a, std::string_view b);

// T-SQL LIKE: % any run, _ one character, [abc] [a-z] [^a] classes, an
// optional escape character; letter case is ignored.
bool LikeMatch(std::string_view value, std::string_view pattern, char32_t escape = 0);

// Position (1-based, in code points) of needle in hay at or after start
// (1-based), ignoring case; 0 when absent.
int64_t FindText(std::string_view hay, std::string_view needle, int64_t start = 1);

}  // namespace tillbase::engine::sql

#pragma once
// One JSON object on one line, as `--json` prints them: keys in the order added, strings
// escaped (control characters as \uXXXX, bytes that are not UTF-8 as U+FFFD, so the line is
// always valid JSON), numbers that are not finite as null.

#include <cstdint>
#include <string>
#include <string_view>

namespace qv::cli {

class JsonLine {
 public:
  JsonLine& Text(std::string_view key, std::string_view value);
  JsonLine& Number(std::string_view key, double value);
  JsonLine& Integer(std::string_view key, std::int64_t value);
  JsonLine& Bool(std::string_view key, bool value);
  JsonLine& Null(std::string_view key);
  // "{...}" without a line end.
  std::string str() const { return "{" + m_body + "}"; }

 private:
  void Key(std::string_view key);
  std::string m_body;
};

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace qv::cli

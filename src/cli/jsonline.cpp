#include "cli/jsonline.h"

#include <cmath>
#include <cstdio>

namespace qv::cli {
namespace {

// The length of the UTF-8 sequence at `text[i]`, or 0 when the bytes there are not one
// (overlong forms, surrogates and values above U+10FFFF included).
size_t Utf8Length(std::string_view text, size_t i) {
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  std::uint32_t value = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, value = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, value = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, value = lead & 0x07;
  else return 0;
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i + k) & 0x3F);
  }
  const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonLine::Key(std::string_view key) {
  if (!m_body.empty()) m_body += ',';
  m_body += JsonString(key);
  m_body += ':';
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view value) {
  Key(key);
  m_body += JsonString(value);
  return *this;
}

JsonLine& JsonLine::Number(std::string_view key, double value) {
  if (!std::isfinite(value)) return Null(key);
  Key(key);
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  m_body += text;
  return *this;
}

JsonLine& JsonLine::Integer(std::string_view key, std::int64_t value) {
  Key(key);
  m_body += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
  Key(key);
  m_body += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
  Key(key);
  m_body += "null";
  return *this;
}

}  // namespace qv::cli

#include "client/TextCodec.h"

#include <cstdio>

namespace kestrel::client {
namespace {

// Length of the UTF-8 sequence starting at text[i], 0 when it is not valid.
std::size_t SequenceLength(std::string_view text, std::size_t i, unsigned& code) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3Fu);
  }
  // Overlong forms and surrogates are not valid UTF-8.
  if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

}  // namespace

std::optional<std::string> ToSystemText(std::string_view typed) {
  std::string out;
  out.reserve(typed.size());
  bool wide = false;
  for (std::size_t i = 0; i < typed.size();) {
    unsigned code = 0;
    const std::size_t length = SequenceLength(typed, i, code);
    if (length == 0) return std::string(typed);  // not UTF-8: 8-bit text already
    if (code > 0xFF) wide = true;
    out += static_cast<char>(code & 0xFF);
    i += length;
  }
  if (wide) return std::nullopt;
  return out;
}

std::string ToDisplayText(std::string_view system_text) {
  std::string out;
  out.reserve(system_text.size() + 8);
  for (const char c : system_text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

std::string JsonQuoted(std::string_view utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string Shown(std::string_view system_path) {
  std::string text = ToDisplayText(system_path);
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return text;
}

}  // namespace kestrel::client

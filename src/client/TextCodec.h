#pragma once
// Text crossing between the terminal (UTF-8) and the protocol (8-bit text:
// one byte per character, the byte being the character's code).
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::client {

// Typed or command-line text -> 8-bit text. Valid UTF-8 is narrowed when every
// character lies in U+0000..U+00FF (nullopt when one does not); bytes that
// are not valid UTF-8 come from an 8-bit terminal and are taken as they are.
std::optional<std::string> ToSystemText(std::string_view typed);

// 8-bit text -> UTF-8 for display and JSON.
std::string ToDisplayText(std::string_view system_text);

// A system path or key for messages: UTF-8 with "/" between levels.
std::string Shown(std::string_view system_path);

// A JSON string literal (quotes included) of UTF-8 text.
std::string JsonQuoted(std::string_view utf8);

}  // namespace kestrel::client

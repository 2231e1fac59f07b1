// Change detection of files: the MD5 digest of a text file's lines, and of
// any file's bytes.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// 32 lower-case hex digits over the file's lines as CFileNeu::ReadLine gives
// them (without CR/LF), joined without separators, so CR LF and LF line ends
// give the same digest. "" when the file cannot be opened (never reports).
std::string DigestOfTextFile(std::string_view path);

// True when files holding a and b have equal DigestOfTextFile digests (the
// same line texts, whatever their line ends), found without taking a digest:
// the comparison stops at the first difference.
bool SameTextLines(std::string_view a, std::string_view b);

// 32 lower-case hex digits over every byte of the file (a system path); ""
// when it cannot be opened or read.
std::string DigestOfFile(std::string_view path);

}  // namespace kestrel

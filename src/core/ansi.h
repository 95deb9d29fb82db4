#pragma once

#include <string>

namespace morex {

// Converts a UTF-16 text to the system ANSI code page for the ANSI-family Win32 calls.
// A character the code page lacks becomes the code page's default character rather than a
// look-alike ("best fit"): a full-width letter must never turn into the ASCII letter it
// resembles and so name a different service than the one typed.
std::string ToAnsi(const std::u16string &text);

} // namespace morex

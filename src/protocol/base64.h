// Lenient Base64 decoding of soundboard clips.
#pragma once

#include <string>
#include <vector>

// RFC 4648 alphabet; bytes outside it are skipped, the first '=' ends the text, and
// leftover bits are dropped.
std::vector<unsigned char> base64Decode(const std::string& text);

#pragma once
#include <string>

// Text inside the program is in the local code page (the locale's multibyte
// encoding); text on the network is UTF-8. Both conversions go through wide
// characters. Input that does not convert is returned unchanged rather than
// dropped, so a name is never silently emptied.
std::string Utf8ToAnsi(const std::string& utf8);
std::string AnsiToUtf8(const std::string& ansi);

#pragma once
#include <string>

// Strips white space, as the C library classifies it, from both ends; text of
// white space only becomes empty.
std::string TrimSpaces(const std::string& text);

#include "share/TrimSpaces.h"

#include <cctype>

std::string TrimSpaces(const std::string& text) {
    auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    std::string::size_type begin = 0;
    std::string::size_type end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

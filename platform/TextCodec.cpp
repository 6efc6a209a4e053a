#include "platform/TextCodec.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <vector>

namespace {

// The locale's code set; programs that never called setlocale() get "C",
// which we treat as UTF-8 since that is what Linux file names are in practice.
std::string LocalCodeSet() {
    const char* cs = nl_langinfo(CODESET);
    if (!cs || !*cs || std::strcmp(cs, "ANSI_X3.4-1968") == 0)
        return "UTF-8";
    return cs;
}

bool SameCodeSet(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string Convert(const std::string& text, const char* to, const char* from) {
    if (text.empty() || SameCodeSet(to, from))
        return text;
    // Through wide characters, as the two conversions are defined.
    iconv_t toWide = iconv_open("WCHAR_T", from);
    if (toWide == (iconv_t)-1)
        return text;
    iconv_t fromWide = iconv_open(to, "WCHAR_T");
    if (fromWide == (iconv_t)-1) {
        iconv_close(toWide);
        return text;
    }
    std::vector<wchar_t> wide(text.size() + 1);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* out = reinterpret_cast<char*>(wide.data());
    size_t outLeft = wide.size() * sizeof(wchar_t);
    bool ok = iconv(toWide, &in, &inLeft, &out, &outLeft) != (size_t)-1;
    size_t wideBytes = wide.size() * sizeof(wchar_t) - outLeft;

    std::string result;
    if (ok) {
        std::vector<char> narrow(wideBytes * 2 + 16);
        in = reinterpret_cast<char*>(wide.data());
        inLeft = wideBytes;
        out = narrow.data();
        outLeft = narrow.size();
        ok = iconv(fromWide, &in, &inLeft, &out, &outLeft) != (size_t)-1;
        if (ok)
            result.assign(narrow.data(), narrow.size() - outLeft);
    }
    iconv_close(toWide);
    iconv_close(fromWide);
    return ok ? result : text;
}

} // namespace

std::string Utf8ToAnsi(const std::string& utf8) {
    return Convert(utf8, LocalCodeSet().c_str(), "UTF-8");
}

std::string AnsiToUtf8(const std::string& ansi) {
    return Convert(ansi, "UTF-8", LocalCodeSet().c_str());
}

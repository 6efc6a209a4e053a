#include "engine/SubtitleCharset.h"

#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

extern "C" {
#include <uchardet/uchardet.h>
}

namespace {

// The legacy charsets a language's subtitles are written in, the most common
// first, and the names and codes (ISO 639-1 and -2) a file's name gives it by.
struct Family {
    const char* charsets;
    const char* languages;
};
const Family kFamilies[] = {
    {"WINDOWS-1250 ISO-8859-2 IBM852 MAC-CENTRALEUROPE",
     "cs cz cze ces czech pl pol polish sk slk slo slovak hu hun hungarian hr hrv croatian sl slv slovenian "
     "ro rum ron romanian bs bos bosnian sq alb sqi albanian"},
    {"WINDOWS-1251 KOI8-R KOI8-U IBM866 ISO-8859-5 MAC-CYRILLIC",
     "ru rus russian uk ukr ukrainian be bel belarusian bg bul bulgarian mk mac mkd macedonian sr srp serbian "
     "kk kaz kazakh"},
    {"WINDOWS-1252 ISO-8859-15",
     "en eng english fr fre fra french de ger deu german es spa spanish it ita italian pt por portuguese "
     "nl dut nld dutch sv swe swedish da dan danish no nor nb nob nn nno norwegian fi fin finnish "
     "is ice isl icelandic ca cat catalan"},
    {"WINDOWS-1253 ISO-8859-7", "el gre ell greek"},
    {"WINDOWS-1254 ISO-8859-9", "tr tur turkish"},
    {"WINDOWS-1255 ISO-8859-8", "he heb hebrew"},
    {"WINDOWS-1256 ISO-8859-6", "ar ara arabic fa per fas persian farsi ur urd urdu"},
    {"WINDOWS-1257 ISO-8859-13 ISO-8859-4", "lt lit lithuanian lv lav latvian et est estonian"},
    {"WINDOWS-1258 VISCII", "vi vie vietnamese"},
    {"CP874 TIS-620", "th tha thai"},
    {"GB18030 BIG5 EUC-TW ISO-2022-CN", "zh chi zho chs cht chinese"},
    {"CP932 EUC-JP ISO-2022-JP", "ja jp jpn japanese"},
    {"CP949 ISO-2022-KR", "ko kor korean"},
};

// What a detector's answer stands for: the charset that reads every file the
// answer fits (Windows's own extensions of the standard ones).
const char* const kSupersets[][2] = {
    {"ISO-8859-1", "WINDOWS-1252"}, {"SHIFT_JIS", "CP932"}, {"EUC-KR", "CP949"},
    {"UHC", "CP949"},               {"GB2312", "GB18030"},
};

// Name tokens, from the end, that may name the language (film.eng.forced.sdh).
constexpr size_t kLanguageTokens = 3;

std::vector<std::string> Words(const std::string& list) {
    std::istringstream in(list);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

const Family* FamilyOf(const std::string& language) {
    if (language.empty())
        return nullptr;
    for (const Family& family : kFamilies) {
        const std::vector<std::string> names = Words(family.languages);
        if (std::find(names.begin(), names.end(), language) != names.end())
            return &family;
    }
    return nullptr;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// The family of the language the file's name ends in, if any.
const Family* NamedFamily(const std::string& fileName) {
    std::string name = Lower(fileName.substr(fileName.find_last_of('/') + 1));
    name = name.substr(0, name.rfind('.'));  // the extension names no language
    std::vector<std::string> tokens;
    std::string token;
    for (char c : name + '.') {
        if (std::isalpha(static_cast<unsigned char>(c))) {
            token += c;
        } else if (!token.empty()) {
            tokens.push_back(token);
            token.clear();
        }
    }
    for (size_t i = 0; i < tokens.size() && i < kLanguageTokens; ++i)
        if (const Family* family = FamilyOf(tokens[tokens.size() - 1 - i]))
            return family;
    return nullptr;
}

// The family of the user's language, from the locale's settings.
const Family* LocaleFamily() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            const std::string locale = value;
            return FamilyOf(Lower(locale.substr(0, locale.find_first_of("_.@"))));
        }
    }
    return nullptr;
}

// Valid UTF-8, a sequence cut off by the end of the bytes allowed (the head
// of a longer file).
bool IsUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const uint8_t c = *p;
        int more;
        uint32_t cp;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xc2 && c <= 0xdf) {
            more = 1, cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2, cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3, cp = c & 0x07;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < more; ++i, ++p) {
            if (p == end)
                return true;
            if ((*p & 0xc0) != 0x80)
                return false;
            cp = cp << 6 | (*p & 0x3f);
        }
        const uint32_t least = more == 1 ? 0x80 : more == 2 ? 0x800 : 0x10000;
        if (cp < least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
    }
    return true;
}

// The text reads in `charset` without an error and without control
// characters no subtitle has (C1: what Latin-1 makes of Windows punctuation).
bool Converts(const std::string& text, const std::string& charset) {
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == iconv_t(-1))
        return false;
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    std::string chunk(4096, '\0');
    bool ok = true;
    while (ok && inLeft > 0) {
        char* out = chunk.data();
        size_t outLeft = chunk.size();
        const size_t rc = iconv(cd, &in, &inLeft, &out, &outLeft);
        const size_t produced = chunk.size() - outLeft;
        for (size_t i = 0; i + 1 < produced && ok; ++i)
            ok = !(uint8_t(chunk[i]) == 0xc2 && uint8_t(chunk[i + 1]) >= 0x80 && uint8_t(chunk[i + 1]) <= 0x9f);
        if (rc == size_t(-1) && errno == EINVAL)
            break;  // a character cut off by the end of the head
        if (rc == size_t(-1) && errno != E2BIG)
            ok = false;
    }
    iconv_close(cd);
    return ok;
}

std::string Detected(const std::string& text) {
    uchardet_t detector = uchardet_new();
    std::string charset;
    if (detector && uchardet_handle_data(detector, text.data(), text.size()) == 0) {
        uchardet_data_end(detector);
        charset = uchardet_get_charset(detector);
    }
    if (detector)
        uchardet_delete(detector);
    for (const auto& [name, superset] : kSupersets)
        if (strcasecmp(charset.c_str(), name) == 0)
            return superset;
    // Not UTF-8 by now, whatever the detector says.
    return strcasecmp(charset.c_str(), "ASCII") == 0 || strcasecmp(charset.c_str(), "UTF-8") == 0 ? "" : charset;
}

bool Within(const Family& family, const std::string& charset) {
    const std::vector<std::string> names = Words(family.charsets);
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& name) { return strcasecmp(name.c_str(), charset.c_str()) == 0; });
}

std::string FirstConverting(const Family* family, const std::string& text) {
    if (family)
        for (const std::string& charset : Words(family->charsets))
            if (Converts(text, charset))
                return charset;
    return "";
}

}  // namespace

std::string SubtitleCharset(const std::string& head, const std::string& fileName) {
    const auto byte = [&](size_t i) { return i < head.size() ? uint8_t(head[i]) : 0; };
    if ((byte(0) == 0xff && byte(1) == 0xfe) || (byte(0) == 0xfe && byte(1) == 0xff) ||
        (byte(0) == 0xef && byte(1) == 0xbb && byte(2) == 0xbf) || IsUtf8(head))
        return "";
    const std::string detected = Detected(head);
    const Family* named = NamedFamily(fileName);
    if (!detected.empty() && (!named || Within(*named, detected)) && Converts(head, detected))
        return detected;
    // The file's name outweighs a guess outside its language.
    if (std::string charset = FirstConverting(named, head); !charset.empty())
        return charset;
    if (!detected.empty() && Converts(head, detected))
        return detected;
    if (std::string charset = FirstConverting(LocaleFamily(), head); !charset.empty())
        return charset;
    return Converts(head, "WINDOWS-1252") ? "WINDOWS-1252" : "ISO-8859-1";
}

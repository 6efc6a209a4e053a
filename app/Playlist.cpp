#include "app/Playlist.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// Extensions (lower case) of containers and raw streams FFmpeg opens that
// people keep media in.
constexpr const char* kMediaExtensions[] = {
    "3gp", "aac", "ac3", "aiff", "ape", "asf", "avi", "dts", "flac", "flv", "m2ts", "m4a", "m4v", "mka", "mkv",
    "mov", "mp2", "mp3", "mp4", "mpeg", "mpg", "mts", "oga", "ogg", "ogv", "opus", "ts", "vob", "wav", "webm",
    "wma", "wmv", "wv"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Compare the runs by value: skip leading zeros, then the longer
            // run is larger, then digit by digit.
            size_t ei = i, ej = j;
            while (ei < a.size() && IsDigit(a[ei]))
                ++ei;
            while (ej < b.size() && IsDigit(b[ej]))
                ++ej;
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            if (const int c = a.compare(si, ei - si, b, sj, ej - sj); c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb)
            return ca < cb;
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;  // equal but for case or zeros: a fixed order still
}

bool LooksLikeMedia(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > 5)
        return false;
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return std::any_of(std::begin(kMediaExtensions), std::end(kMediaExtensions),
                       [&](const char* known) { return ext == known; });
}

std::vector<std::string> ListFolderMedia(const std::string& dir, size_t limit) {
    std::vector<std::string> files;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return files;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        // Dot files are nobody's media; a name that merely looks like media
        // must also be a regular file (or a link to one).
        if (name.empty() || name[0] == '.' || !LooksLikeMedia(name))
            continue;
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (entry->d_type != DT_REG && (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
            continue;
        files.push_back(path);
        if (files.size() >= limit)
            break;
    }
    ::closedir(d);
    std::sort(files.begin(), files.end(), NaturalLess);
    return files;
}

void Playlist::Set(std::vector<std::string> files, const std::string& current, bool sorted) {
    m_files = std::move(files);
    auto it = std::find(m_files.begin(), m_files.end(), current);
    if (it == m_files.end() && !current.empty())
        it = m_files.insert(sorted ? std::upper_bound(m_files.begin(), m_files.end(), current, NaturalLess)
                                   : m_files.end(),
                            current);
    m_nCurrent = static_cast<size_t>(it - m_files.begin());
}

void Playlist::Clear() {
    m_files.clear();
    m_nCurrent = 0;
}

std::string Playlist::Next() {
    if (!HasNext())
        return std::string();
    return m_files[++m_nCurrent];
}

std::string Playlist::Previous() {
    if (!HasPrevious())
        return std::string();
    return m_files[--m_nCurrent];
}

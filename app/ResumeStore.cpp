#include "app/ResumeStore.h"

#include "app/AtomicFile.h"
#include "platform/Trace.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A store larger than this is no store this program wrote.
constexpr size_t kMaxFileBytes = 4 << 20;
constexpr char kMagic[] = "sivo-resume";

bool ReadAt(int fd, char* buffer, size_t size, off_t offset) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));  // no newline: cut short
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool IsKey(const std::string& key) {
    return !key.empty() && key.size() <= 128 &&
           std::all_of(key.begin(), key.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
}

} // namespace

std::string ContentKey(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::string();
    struct stat st {};
    std::string key;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const size_t size = static_cast<size_t>(st.st_size);
        const size_t head = std::min(size, CONTENT_KEY_SPAN);
        const size_t tail = std::min(size - head, CONTENT_KEY_SPAN);
        std::string bytes(head + tail, '\0');
        if (ReadAt(fd, bytes.data(), head, 0) && ReadAt(fd, bytes.data() + head, tail, static_cast<off_t>(size - tail)))
            key = std::to_string(size) + "-" +
                  QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                           QCryptographicHash::Sha256)
                      .toHex()
                      .left(32)
                      .toStdString();
    }
    ::close(fd);
    return key;
}

std::string ResumeStore::DefaultPath() {
    return SivoDirectory("XDG_STATE_HOME", ".local/state") + "/resume";
}

void ResumeStore::SetAside(const std::string& why) {
    const std::string aside = m_strPath + ".bad";
    const bool moved = ::rename(m_strPath.c_str(), aside.c_str()) == 0;
    m_strProblem = "Resume positions " + why + (moved ? "; set aside as " + aside : "") + "; starting afresh";
    DebugTrace("%s\n", m_strProblem.c_str());
    m_entries.clear();
}

bool ResumeStore::Load() {
    m_entries.clear();
    m_strProblem.clear();
    std::string content;
    bool missing = false;
    if (!ReadSmallFile(m_strPath, kMaxFileBytes, content, missing)) {
        if (missing)
            return true;
        SetAside("cannot be read");
        return false;
    }
    const std::vector<std::string> lines = Lines(content);
    int version = 0;
    char magic[16] = {};
    if (lines.empty() || std::sscanf(lines.front().c_str(), "%15s %d", magic, &version) != 2 ||
        std::strcmp(magic, kMagic) != 0) {
        SetAside("are not a resume file");
        return false;
    }
    if (version > kVersion) {
        SetAside("come from a newer sivo (version " + std::to_string(version) + ")");
        return false;
    }
    // The count in the last line tells a whole file from one cut short.
    unsigned long count = 0;
    char tail = 0;
    if (lines.size() < 2 || content.back() != '\n' ||
        std::sscanf(lines.back().c_str(), "end %lu%c", &count, &tail) != 1 || count != lines.size() - 2) {
        SetAside("are cut short");
        return false;
    }
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        char key[129] = {};
        double seconds = 0;
        long long used = 0;
        if (std::sscanf(lines[i].c_str(), "%128s %lf %lld%c", key, &seconds, &used, &tail) != 3 || !IsKey(key) ||
            !std::isfinite(seconds) || seconds < 0) {
            SetAside("are damaged at line " + std::to_string(i + 1));
            return false;
        }
        m_entries.push_back({key, seconds, used});
    }
    std::stable_sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) { return a.used < b.used; });
    return true;
}

std::optional<double> ResumeStore::Position(const std::string& key) const {
    for (const Entry& e : m_entries)
        if (e.key == key)
            return e.seconds;
    return std::nullopt;
}

bool ResumeStore::Remember(const std::string& key, double seconds) {
    if (!IsKey(key) || !std::isfinite(seconds) || seconds < 0)
        return false;
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.key == key; }),
                    m_entries.end());
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    m_entries.push_back({key, seconds, std::max(now, m_entries.empty() ? now : m_entries.back().used)});
    if (m_entries.size() > kMaxEntries)
        m_entries.erase(m_entries.begin(), m_entries.end() - kMaxEntries);
    return Save();
}

bool ResumeStore::Forget(const std::string& key) {
    const size_t before = m_entries.size();
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.key == key; }),
                    m_entries.end());
    return m_entries.size() == before || Save();
}

bool ResumeStore::Save() {
    std::string content = std::string(kMagic) + " " + std::to_string(kVersion) + "\n";
    char line[256];
    for (const Entry& e : m_entries) {
        std::snprintf(line, sizeof line, "%s %.3f %lld\n", e.key.c_str(), e.seconds, static_cast<long long>(e.used));
        content += line;
    }
    content += "end " + std::to_string(m_entries.size()) + "\n";
    std::string error;
    if (WriteFileAtomically(m_strPath, content, error))
        return true;
    m_strProblem = error;
    DebugTrace("resume positions not saved: %s\n", error.c_str());
    return false;
}

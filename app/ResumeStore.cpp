#include "app/ResumeStore.h"

#include "app/AtomicFile.h"
#include "platform/Trace.h"
#include "share/HttpFileEnds.h"
#include "share/HttpText.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
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
// Fields of an entry's line in each version.
constexpr size_t kFieldsV1 = 3, kFieldsV2 = 5;
// Beyond any stream index a medium has.
constexpr long kMaxStreamIndex = 99999;
constexpr size_t kMaxFileName = 255;

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

// Space-separated fields; nothing for a line with an empty one.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t end = line.find(' ', start);
        fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (fields.back().empty())
            return {};
        if (end == std::string::npos)
            return fields;
        start = end + 1;
    }
}

// The whole text as a number; false for anything else.
bool ParseSeconds(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value) && value >= 0 && std::isdigit(static_cast<unsigned char>(text[0]));
}

bool ParseInteger(const std::string& text, long long low, long long high, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && !text.empty() && end == text.c_str() + text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-') && value >= low && value <= high;
}

bool IsFileName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxFileName && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

bool IsStreamIndex(long long index) {
    return index >= 0 && index <= kMaxStreamIndex;
}

// Unknown "-", "off", a stream "s3", a file "f" and its name percent-encoded.
std::string SubtitleField(const ResumeTracks& tracks) {
    switch (tracks.subtitle) {
    case ResumeTracks::Subtitle::Off: return "off";
    case ResumeTracks::Subtitle::Stream: return "s" + std::to_string(tracks.subtitleStream);
    case ResumeTracks::Subtitle::File: return "f" + PercentEncode(tracks.subtitleFile);
    case ResumeTracks::Subtitle::Unknown: break;
    }
    return "-";
}

bool ParseSubtitle(const std::string& field, ResumeTracks& tracks) {
    long long index = -1;
    if (field == "-") {
        tracks.subtitle = ResumeTracks::Subtitle::Unknown;
    } else if (field == "off") {
        tracks.subtitle = ResumeTracks::Subtitle::Off;
    } else if (field[0] == 's' && ParseInteger(field.substr(1), 0, kMaxStreamIndex, index)) {
        tracks.subtitle = ResumeTracks::Subtitle::Stream;
        tracks.subtitleStream = static_cast<int>(index);
    } else if (field[0] == 'f' && IsFileName(PercentDecode(field.substr(1)))) {
        tracks.subtitle = ResumeTracks::Subtitle::File;
        tracks.subtitleFile = PercentDecode(field.substr(1));
    } else {
        return false;
    }
    return true;
}

// What `tracks` knows, over what `old` had.
ResumeTracks Merged(ResumeTracks old, const ResumeTracks& tracks) {
    if (IsStreamIndex(tracks.audio))
        old.audio = tracks.audio;
    const bool valid = tracks.subtitle == ResumeTracks::Subtitle::Off ||
                       (tracks.subtitle == ResumeTracks::Subtitle::Stream && IsStreamIndex(tracks.subtitleStream)) ||
                       (tracks.subtitle == ResumeTracks::Subtitle::File && IsFileName(tracks.subtitleFile));
    if (valid) {
        old.subtitle = tracks.subtitle;
        old.subtitleStream = tracks.subtitle == ResumeTracks::Subtitle::Stream ? tracks.subtitleStream : -1;
        old.subtitleFile = tracks.subtitle == ResumeTracks::Subtitle::File ? tracks.subtitleFile : std::string();
    }
    return old;
}

} // namespace

std::string ContentKeyOf(uint64_t size, std::string_view head, std::string_view tail) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(head.data(), static_cast<qsizetype>(head.size())));
    hash.addData(QByteArrayView(tail.data(), static_cast<qsizetype>(tail.size())));
    return std::to_string(size) + "-" + hash.result().toHex().left(32).toStdString();
}

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
            key = ContentKeyOf(size, std::string_view(bytes).substr(0, head), std::string_view(bytes).substr(head));
    }
    ::close(fd);
    return key;
}

std::string RemoteContentKey(const std::string& address, int port, const std::string& name, int timeoutMs,
                             const std::atomic<bool>* cancel) {
    const std::optional<FileEnds> ends = FetchFileEnds(address, port, name, CONTENT_KEY_SPAN, timeoutMs, cancel);
    if (!ends)
        return std::string();
    return ContentKeyOf(static_cast<uint64_t>(ends->size), ends->head, ends->tail);
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
        std::strcmp(magic, kMagic) != 0 || version < 1) {
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
    const size_t fieldCount = version == 1 ? kFieldsV1 : kFieldsV2;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::vector<std::string> fields = Fields(lines[i]);
        Entry entry;
        long long used = 0, audio = -1;
        if (fields.size() != fieldCount || !IsKey(fields[0]) || !ParseSeconds(fields[1], entry.seconds) ||
            !ParseInteger(fields[2], LLONG_MIN, LLONG_MAX, used) ||
            (fieldCount == kFieldsV2 &&
             (!ParseInteger(fields[3], -1, kMaxStreamIndex, audio) || !ParseSubtitle(fields[4], entry.tracks)))) {
            SetAside("are damaged at line " + std::to_string(i + 1));
            return false;
        }
        entry.key = fields[0];
        entry.used = used;
        entry.tracks.audio = static_cast<int>(audio);
        m_entries.push_back(std::move(entry));
    }
    std::stable_sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) { return a.used < b.used; });
    return true;
}

ResumeTracks ResumeStore::Tracks(const std::string& key) const {
    for (const Entry& e : m_entries)
        if (e.key == key)
            return e.tracks;
    return ResumeTracks();
}

std::optional<double> ResumeStore::Position(const std::string& key) const {
    for (const Entry& e : m_entries)
        if (e.key == key)
            return e.seconds;
    return std::nullopt;
}

bool ResumeStore::Remember(const std::string& key, double seconds, const ResumeTracks& tracks) {
    if (!IsKey(key) || !std::isfinite(seconds) || seconds < 0)
        return false;
    const ResumeTracks merged = Merged(Tracks(key), tracks);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.key == key; }),
                    m_entries.end());
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    m_entries.push_back({key, seconds, std::max(now, m_entries.empty() ? now : m_entries.back().used), merged});
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
        std::snprintf(line, sizeof line, "%s %.3f %lld %d ", e.key.c_str(), e.seconds, static_cast<long long>(e.used),
                      e.tracks.audio);
        content += line + SubtitleField(e.tracks) + "\n";
    }
    content += "end " + std::to_string(m_entries.size()) + "\n";
    std::string error;
    if (WriteFileAtomically(m_strPath, content, error))
        return true;
    m_strProblem = error;
    DebugTrace("resume positions not saved: %s\n", error.c_str());
    return false;
}

#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bytes read from each end of a file for its content key.
inline constexpr size_t CONTENT_KEY_SPAN = 64 * 1024;

// A key for a file's content, the same under any name or folder: its size
// and a hash of its first and last CONTENT_KEY_SPAN bytes (two reads,
// however large the file). Empty when the file cannot be read.
std::string ContentKey(const std::string& path);

// Where playback stopped in each medium, by content key, in
// $XDG_STATE_HOME/sivo/resume (else under ~/.local/state): the most recently
// used RESUME_MAX_ENTRIES, the oldest dropped. Every change rewrites the
// file whole and atomically, so a process killed at any moment leaves the
// old file or the new one.
//
// Threads: UI thread only.
class ResumeStore {
public:
    static constexpr size_t kMaxEntries = 1000;
    static constexpr int kVersion = 1;

    static std::string DefaultPath();
    explicit ResumeStore(std::string path = DefaultPath()) : m_strPath(std::move(path)) {}

    // Reads the file; a missing one is empty. One that is truncated,
    // corrupt or written by a newer version is renamed aside (".bad"), the
    // store starts empty and Problem() says so in one line; false then.
    bool Load();
    const std::string& Problem() const { return m_strProblem; }

    std::optional<double> Position(const std::string& key) const;
    // Remembers the position (as the most recent entry), or forgets the
    // medium, and writes the file; false when it could not be written.
    bool Remember(const std::string& key, double seconds);
    bool Forget(const std::string& key);
    size_t Size() const { return m_entries.size(); }
    const std::string& Path() const { return m_strPath; }

private:
    struct Entry {
        std::string key;
        double seconds = 0;
        int64_t used = 0;  // seconds since the epoch; ties keep file order
    };
    bool Save();
    void SetAside(const std::string& why);

    std::string m_strPath;
    std::vector<Entry> m_entries;  // oldest first
    std::string m_strProblem;
};

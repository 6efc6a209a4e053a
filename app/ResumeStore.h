#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Bytes read from each end of a file for its content key.
inline constexpr size_t CONTENT_KEY_SPAN = 64 * 1024;

// A key for a file's content, the same under any name or folder: its size
// and a hash of its first and last CONTENT_KEY_SPAN bytes (two reads,
// however large the file). Empty when the file cannot be read.
std::string ContentKey(const std::string& path);
// The key of a file of `size` bytes whose first CONTENT_KEY_SPAN bytes
// (all of a smaller file) are `head` and whose last bytes after those, at
// most CONTENT_KEY_SPAN, are `tail`.
std::string ContentKeyOf(uint64_t size, std::string_view head, std::string_view tail);
// Wait for a peer's answers, for both ends together.
inline constexpr int REMOTE_KEY_TIMEOUT_MS = 3000;
// ContentKey of the file `name` a peer's stream server plays (its share
// root and the file below it), read from the peer's HTTP file server at
// address:port. Empty when the peer serves no such file over HTTP, is not
// there, or has not answered within timeoutMs; also once *cancel turns true.
// Blocks: never on the UI thread.
std::string RemoteContentKey(const std::string& address, int port, const std::string& name,
                             int timeoutMs = REMOTE_KEY_TIMEOUT_MS, const std::atomic<bool>* cancel = nullptr);

// The streams a person chose for a medium. A part not known (a medium
// played from a peer offers no choice) leaves what was remembered of it.
struct ResumeTracks {
    // The audio stream's index in the medium; -1 for not known.
    int audio = -1;
    enum class Subtitle { Unknown, Off, Stream, File };
    Subtitle subtitle = Subtitle::Unknown;
    int subtitleStream = -1;   // Stream: its index in the medium
    std::string subtitleFile;  // File: the name of a file beside the medium, no folder
    bool operator==(const ResumeTracks&) const = default;
};

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
    // Version 1 kept positions alone; its files still load.
    static constexpr int kVersion = 2;

    static std::string DefaultPath();
    explicit ResumeStore(std::string path = DefaultPath()) : m_strPath(std::move(path)) {}

    // Reads the file; a missing one is empty. One that is truncated,
    // corrupt or written by a newer version is renamed aside (".bad"), the
    // store starts empty and Problem() says so in one line; false then.
    bool Load();
    const std::string& Problem() const { return m_strProblem; }

    std::optional<double> Position(const std::string& key) const;
    // What was chosen for the medium; all unknown when nothing was.
    ResumeTracks Tracks(const std::string& key) const;
    // Remembers the position and the streams (as the most recent entry), or
    // forgets the medium, and writes the file; false when it could not be
    // written. Parts of `tracks` not known, or not valid (a subtitle file
    // named with a folder), keep what the entry had.
    bool Remember(const std::string& key, double seconds, const ResumeTracks& tracks = {});
    bool Forget(const std::string& key);
    size_t Size() const { return m_entries.size(); }
    const std::string& Path() const { return m_strPath; }

private:
    struct Entry {
        std::string key;
        double seconds = 0;
        int64_t used = 0;  // seconds since the epoch; ties keep file order
        ResumeTracks tracks;
    };
    bool Save();
    void SetAside(const std::string& why);

    std::string m_strPath;
    std::vector<Entry> m_entries;  // oldest first
    std::string m_strProblem;
};

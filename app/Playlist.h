#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Natural order of file names: runs of digits compare by their value and
// letters without regard to case, so "ep2" comes before "ep10".
bool NaturalLess(const std::string& a, const std::string& b);

// Whether a file name ends in an extension of a medium this program plays.
bool LooksLikeMedia(const std::string& name);

// The media of a folder that look playable, in natural order: full paths.
// Entries that cannot be read are skipped; at most `limit` are kept.
// Blocks on the file system: call it off the UI thread.
std::vector<std::string> ListFolderMedia(const std::string& dir, size_t limit = 100000);

// The list the previous and next buttons move through: the medium's folder
// or the files dropped together.
//
// Threads: UI thread only.
class Playlist {
public:
    // The list and the file playing in it; a file not in the list joins it
    // (in natural order when the list is sorted).
    void Set(std::vector<std::string> files, const std::string& current, bool sorted);
    void Clear();
    bool Empty() const { return m_files.empty(); }
    bool HasNext() const { return m_nCurrent + 1 < m_files.size(); }
    bool HasPrevious() const { return m_nCurrent > 0 && m_nCurrent < m_files.size(); }
    // Moves to the next or previous file and returns it; empty at an end.
    std::string Next();
    std::string Previous();
    const std::vector<std::string>& Files() const { return m_files; }
    size_t Current() const { return m_nCurrent; }

private:
    std::vector<std::string> m_files;
    size_t m_nCurrent = 0;
};

#pragma once
#include <cstddef>
#include <string>

// Files the window keeps for the person (allowed devices, resume positions).

// $<variable>/sivo when the variable holds an absolute path, else
// $HOME/<fallback>/sivo (the XDG base directory rules).
std::string SivoDirectory(const char* variable, const char* fallback);

// Creates the directory and its missing parents (0700). False on failure.
bool MakeDirectories(const std::string& dir);

// Writes `content` to a temporary file beside `path`, flushes it to the disk
// and renames it over `path`, so a crash at any moment leaves either the old
// file or the new one whole. The directory is created when missing. False,
// with the reason in `error`, when it could not be written (the old file
// stays).
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string& error);

// The whole of a regular file of at most `limit` bytes; false when it cannot
// be read or is larger (`missing` tells whether it simply does not exist).
bool ReadSmallFile(const std::string& path, size_t limit, std::string& content, bool& missing);

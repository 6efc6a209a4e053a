#pragma once
#include <string>

// Empty when `path` names a medium with a stream we can decode, else a
// one-line reason why it cannot be played (missing, a directory, not a
// medium, nothing decodable). Opens the file once with its own demuxer; any
// thread.
std::string CheckPlayable(const std::string& path);

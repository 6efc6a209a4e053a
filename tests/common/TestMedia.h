#pragma once
#include <string>

// Test media is made on first use by the ffmpeg command-line tool and cached
// in the build tree, so nothing large is committed and every run sees the
// same files.

// Returns the path of `name` under the media cache, generating it with
// `ffmpeg -y <ffmpegArgs> <path>` when it does not exist yet. Safe when
// several test programs ask for the same file at once. Fails the calling
// test (and returns "") when ffmpeg fails.
std::string TestMedia(const std::string& name, const std::string& ffmpegArgs);

// A 10 s 320x240 25 fps H.264 clip with 44.1 kHz stereo AAC, a key frame
// every 50 pictures and no B-pictures: longer runs than the player prunes
// and no non-reference pictures for fast decoding to skip, so every picture
// is meant to be shown.
std::string TestClipAv10s();

// A 4 s 160x120 25 fps H.264 clip with a 440 Hz 44.1 kHz stereo AAC tone
// and a key frame every 25 pictures: runs short enough to be pruned.
std::string TestClipAv4s();

// Writes `bytes` to a fresh file under the media cache and returns its path.
std::string TestFile(const std::string& name, const std::string& bytes);

// Path of an executable built by the project (build/bin/<name>).
std::string TestBinary(const std::string& name);

// Switches the whole process to a Latin-1 locale: the system's if it has one,
// else one compiled into the media cache (glibc reads LOCPATH at every
// setlocale). False when there is none to be had.
bool UseLatin1Locale();

#pragma once
// The charset a subtitle file's text is written in.
//
// A byte order mark decides; text that is valid UTF-8 is UTF-8. Otherwise a
// charset detector guesses, and for the short files subtitles often are its
// guess is weak: a language named in the file's name (film.cs.srt,
// Subs/2_Japanese.srt) then narrows it to the charsets that language is
// written in, and the user's locale fills in when the detector has no answer
// that converts. Only a charset that converts the text without an error is
// ever chosen; Windows-1252, and failing that Latin-1, is the last resort.

#include <string>

// The iconv name of the charset `head` (a subtitle file's first bytes, or
// all of it) is written in, for a file called `fileName`; empty for UTF-8
// with or without its mark and for UTF-16 with its mark, which the subtitle
// readers take as they are.
std::string SubtitleCharset(const std::string& head, const std::string& fileName);

#pragma once
#include <string>
#include <vector>

// The shareable extensions, each with its leading dot, lower case, closed by
// the dot of the next one (or the final dot), so that a probe ".ext." can only
// match one whole entry.
inline constexpr char MEDIA_EXT_LIST[] =
    ".ac3.3gp.aac.aiff.amr.amv.ape.asf.avi.au.f4v.flac.flv.m3u.m4a.m4v.mid.mkv."
    "mov.mp3.mp4.mpeg.mpg.ogg.ra.rm.rmvb.tta.wav.wma.wmv.h264.vob.";

// Appends to `out` the path of every shareable file under `dir`, depth first
// in pre-order, in the file system's own order within a directory. Each entry
// is `dir` + "/" + each directory name + "/" + the file name. Directories are
// walked, never listed; an unreadable or missing directory adds nothing.
// Only what the HTTP server serves is listed: names beginning with a dot
// are left out with everything below them; links that resolve beneath `dir`
// as the server resolves them are followed (each folder walked once); other
// links, devices, FIFOs and sockets are left out. Folders are opened from
// the one holding them, so a swap made during the walk cannot lead outside.
// Keeps no state: any thread may call it, concurrent walks are independent.
void FindShareFiles(std::string dir, std::vector<std::string>& out);

// True when the file name's extension (from its last dot) is in
// MEDIA_EXT_LIST, compared in lower case.
bool IsShareableName(const std::string& name);

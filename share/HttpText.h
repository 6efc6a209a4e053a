#pragma once
#include <cstdint>
#include <string>

// Request parsing, path mapping and response building of the HTTP file
// server. Plain functions without state: any thread may call them.

// A header block that grows past this without its blank line ends the
// connection.
inline constexpr std::size_t HTTP_MAX_HEADER_BYTES = 64 * 1024;
// The fixed item at the end of every listing.
inline constexpr char SAMPLE_VIDEO_URL[] = "http://media.example.com/samples/sample.mp4";
inline constexpr char SAMPLE_VIDEO_LABEL[] = "sample.mp4";

// The path of the request line: the text after its first "GET " (or after a
// leading "HEAD "), trimmed, cut at its first space. Empty when the request
// has no "\r\n" or starts with one. Not percent-decoded; a query part stays.
std::string GetRequestPath(const std::string& request);
// True for a request line that starts with "HEAD ".
bool IsHeadRequest(const std::string& request);
// Every "%XX" with two hex digits replaced by its byte (but "%00"); anything
// else kept.
std::string PercentDecode(const std::string& text);
// The trimmed, lower-cased text from just after the first occurrence of
// `name` (any letter case, anywhere) to the next "\r\n"; empty without them.
std::string GetHeaderValue(const std::string& request, const std::string& name);
// The size of the file from its status information, or -1.
int64_t GetFileSize(const std::string& path);
// The start of the "Range:" header's first range, read as atoi reads
// digits; 0 without a range, for a suffix range or for a missing start.
int64_t GetRangeStart(const std::string& request);

// The local file a request path names: a catalogue entry behind a leading
// "/" (the path then starts with "/" + root + "/") or, as ever, an absolute
// local path holding ":", is taken as it stands; else the path under `root`.
// Whether the file may be served is ServableFile's to say.
std::string MapRequestPath(const std::string& root, const std::string& path);

// The header block of a file answer ("HTTP/1.1 200\r\n" or 206 with its
// Content-Range), ending with the blank line.
std::string BuildFileHeader(int64_t rangeStart, int64_t size);
// The whole listing answer, header block and XHTML body, in UTF-8, listing
// the catalogue of `root` with links relative to it: links percent-encoded,
// labels escaped for HTML.
std::string BuildListingResponse(const std::string& root);

#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
// Bytes outside the unreserved set and "/" as "%XX", so that any name makes
// a link that browsers and players send back unchanged.
std::string PercentEncode(const std::string& text);
// The trimmed, lower-cased text from just after the first occurrence of
// `name` (any letter case, anywhere) to the next "\r\n"; empty without them.
std::string GetHeaderValue(const std::string& request, const std::string& name);
// The size of the file from its status information, or -1.
int64_t GetFileSize(const std::string& path);
// The start of the "Range:" header's first range, read as atoi reads
// digits; 0 without a range, for a suffix range or for a missing start.
int64_t GetRangeStart(const std::string& request);

// The values of the request's "Host:" header lines (name in any letter
// case at the start of a line of the header block), trimmed; none when the
// request has no such line (HTTP/1.0).
std::vector<std::string> GetHostHeaders(const std::string& request);
// True when a Host value names this machine the way no web page on another
// name can: an IPv4 literal, an IPv6 literal in brackets, "localhost" or
// one of `ownNames`, each with an optional ":port", in any letter case, with
// or without a final dot. Anything else (another name, an empty value, a
// bare IPv6 address) is a name some DNS may point here: false.
bool IsOwnHost(const std::string& host, const std::vector<std::string>& ownNames);
// This machine's names as a browser on the LAN may write them: the host
// name, its first label, and that label with ".local" (mDNS), lower case.
std::vector<std::string> OwnHostNames();
// True when a "Connection:" header line lists "keep-alive".
bool WantsKeepAlive(const std::string& request);
// The whole answer to a request whose Host is refused; no body.
std::string BuildForbiddenResponse();

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

#include "share/HttpText.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/TextCodec.h"
#include "share/ShareFiles.h"
#include "share/TrimSpaces.h"

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// realpath, or empty when the entry does not exist.
std::string Resolve(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string result = resolved;
    std::free(resolved);
    return result;
}

constexpr char SERVER_LINE[] = "Server: lighttpd/1.5.0\r\n\r\n";

}  // namespace

std::string GetRequestPath(const std::string& request) {
    std::string::size_type lineEnd = request.find("\r\n");
    if (lineEnd == std::string::npos || lineEnd == 0)
        return {};
    std::string line = request.substr(0, lineEnd);
    // Without "GET " the line is taken from its fourth character on (index 3).
    std::string::size_type get = line.find("GET ");
    std::string::size_type from = get == std::string::npos ? 3 : get + 4;
    std::string path = TrimSpaces(from < line.size() ? line.substr(from) : std::string());
    std::string::size_type space = path.find(' ');
    if (space != std::string::npos && space > 0)
        path.resize(space);
    return path;
}

std::string GetHeaderValue(const std::string& request, const std::string& name) {
    const std::string text = Lower(request);
    const std::string key = Lower(name);
    std::string::size_type at = text.find(key);
    if (key.empty() || at == std::string::npos)
        return {};
    std::string::size_type from = at + key.size();
    std::string::size_type end = text.find("\r\n", from);
    if (end == std::string::npos)
        return {};
    return TrimSpaces(text.substr(from, end - from));
}

int64_t GetFileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t GetRangeStart(const std::string& request) {
    std::string range = GetHeaderValue(request, "Range:");
    std::string::size_type unit = range.find("bytes=");
    if (unit != std::string::npos)
        range = range.substr(unit + 6);
    std::string::size_type dash = range.find('-');
    std::string start = dash != std::string::npos && dash > 0 ? range.substr(0, dash) : "0";
    // atoi's reading, widened: leading space, a sign, digits up to the first
    // other character. Out-of-range values saturate.
    long long value = std::strtoll(start.c_str(), nullptr, 10);
    return static_cast<int64_t>(value);
}

std::string MapRequestPath(const std::string& root, const std::string& path) {
    if (path.size() > 1 && path.find(':') != std::string::npos)
        return path.substr(1);
    return root + path;
}

bool IsServableFile(const std::string& root, const std::string& filePath) {
    const std::string base = Resolve(root);
    const std::string file = Resolve(filePath);
    struct stat st {};
    if (base.empty() || file.empty() || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (base == "/")
        return file.size() > 1;
    return file.size() > base.size() && file.compare(0, base.size(), base) == 0 &&
           file[base.size()] == '/';
}

std::string BuildFileHeader(int64_t rangeStart, int64_t size) {
    const bool partial = rangeStart > 0;
    std::string header = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200\r\n";
    header += "Content-Type: video/mp4\r\n";
    header += "Accept-Ranges: bytes\r\n";
    header += "Last-Modified: Mon, 08 Aug 2011 10:33:15 GMT\r\n";
    if (partial)
        header += "Content-Range: bytes " + std::to_string(rangeStart) + "-" +
                  std::to_string(size - 1) + "/" + std::to_string(size) + "\r\n";
    header += "Content-Length: " + std::to_string(size - rangeStart) + "\r\n";
    header += SERVER_LINE;
    return header;
}

std::string BuildListingResponse(const std::string& root) {
    std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\""
        "\t\t \"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en\" lang=\"en\">"
        "<head><title>11111111</title></head><body>";
    auto item = [&body](const std::string& target, const std::string& label) {
        body += "<li><a href=\"" + target + "\"><b>" + label + "</b></a> </li>\r\n";
    };
    std::vector<std::string> files;
    FindShareFiles(root, files);
    for (const std::string& file : files) {
        const std::string rel = file.substr(root.size());
        item(rel, "http://" + rel);
    }
    item(SAMPLE_VIDEO_URL, SAMPLE_VIDEO_LABEL);
    body += "</body></html>\r\n\r\n";

    const std::string wireBody = AnsiToUtf8(body);
    std::string response = "HTTP/1.1 200 \r\n";
    response += "Content-Type: text/html\r\n";
    response += "Content-Length: 0" + std::to_string(wireBody.size()) + "\r\n";
    response += SERVER_LINE;
    return response + wireBody;
}

#include "share/HttpText.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

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

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

// The set is ASCII's: isalnum would keep bytes that the user's locale counts
// as letters.
std::string PercentEncode(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (alnum || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

namespace {

// A file name must never become markup in the listing.
std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
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
    if (IsHeadRequest(line))
        from = 5;
    std::string path = TrimSpaces(from < line.size() ? line.substr(from) : std::string());
    std::string::size_type space = path.find(' ');
    if (space != std::string::npos && space > 0)
        path.resize(space);
    return path;
}

bool IsHeadRequest(const std::string& request) { return request.compare(0, 5, "HEAD ") == 0; }

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        int high = 0, low = 0;
        // "%00" stays as it is: a zero byte would cut the path short.
        if (text[i] == '%' && i + 2 < text.size() && (high = HexValue(text[i + 1])) >= 0 &&
            (low = HexValue(text[i + 2])) >= 0 && high + low > 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
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

namespace {

// The header lines of the request (after the request line, up to the blank
// line), each without its "\r\n".
std::vector<std::string> HeaderLines(const std::string& request) {
    std::vector<std::string> lines;
    const std::string::size_type end = request.find("\r\n\r\n");
    std::string::size_type at = request.find("\r\n");
    if (end == std::string::npos || at == std::string::npos)
        return lines;
    while (at < end) {
        const std::string::size_type from = at + 2;
        at = request.find("\r\n", from);
        lines.push_back(request.substr(from, at - from));
    }
    return lines;
}

// The value of a header line whose name is `name` (lower case), or nothing.
bool HeaderValue(const std::string& line, const std::string& name, std::string& value) {
    if (line.size() <= name.size() || line[name.size()] != ':' || Lower(line.substr(0, name.size())) != name)
        return false;
    value = TrimSpaces(line.substr(name.size() + 1));
    return true;
}

bool PortDigits(const std::string& port) {
    if (port.size() > 5)
        return false;
    for (char c : port)
        if (c < '0' || c > '9')
            return false;
    return port.empty() || std::stoi(port) <= 65535;
}

} // namespace

std::vector<std::string> GetHostHeaders(const std::string& request) {
    std::vector<std::string> hosts;
    std::string value;
    for (const std::string& line : HeaderLines(request))
        if (HeaderValue(line, "host", value))
            hosts.push_back(value);
    return hosts;
}

bool IsOwnHost(const std::string& host, const std::vector<std::string>& ownNames) {
    std::string name = host;
    if (!name.empty() && name[0] == '[') {
        const std::string::size_type close = name.find(']');
        if (close == std::string::npos)
            return false;
        const std::string rest = name.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || !PortDigits(rest.substr(1))))
            return false;
        in6_addr v6 {};
        return inet_pton(AF_INET6, name.substr(1, close - 1).c_str(), &v6) == 1;
    }
    const std::string::size_type colon = name.find(':');
    if (colon != std::string::npos) {
        if (!PortDigits(name.substr(colon + 1)))
            return false;  // a second colon too: a bare IPv6 address or worse
        name.resize(colon);
    }
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty())
        return false;
    in_addr v4 {};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1)
        return true;
    name = Lower(name);
    if (name == "localhost")
        return true;
    for (const std::string& own : ownNames)
        if (name == own)
            return true;
    return false;
}

std::vector<std::string> OwnHostNames() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || !buf[0])
        return {};
    const std::string full = Lower(buf);
    const std::string label = full.substr(0, full.find('.'));
    std::vector<std::string> names = {full};
    if (label != full)
        names.push_back(label);
    names.push_back(label + ".local");
    return names;
}

bool WantsKeepAlive(const std::string& request) {
    std::string value;
    for (const std::string& line : HeaderLines(request)) {
        if (!HeaderValue(line, "connection", value))
            continue;
        value = Lower(value);
        std::string::size_type from = 0;
        while (from <= value.size()) {
            std::string::size_type comma = value.find(',', from);
            if (comma == std::string::npos)
                comma = value.size();
            if (TrimSpaces(value.substr(from, comma - from)) == "keep-alive")
                return true;
            from = comma + 1;
        }
    }
    return false;
}

std::string BuildForbiddenResponse() { return "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n" + std::string(SERVER_LINE); }

std::string MapRequestPath(const std::string& root, const std::string& path) {
    if (path.size() > 1 &&
        (path.find(':') != std::string::npos || path.compare(1, root.size() + 1, root + "/") == 0))
        return path.substr(1);
    return root + path;
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
        item(PercentEncode(AnsiToUtf8(rel)), HtmlEscape("http://" + rel));
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

// Request-line, header and range parsing and the mapping of a request path
// onto the share root, on arbitrary request text.
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "ShareTree.h"
#include "platform/ShareRoot.h"
#include "share/HttpText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = sharetree::Make();
    const std::string request(reinterpret_cast<const char*>(data), size);

    const std::string path = GetRequestPath(request);
    const size_t lineEnd = request.find("\r\n");
    FUZZ_CHECK(path.empty() || (lineEnd != std::string::npos && path.size() <= lineEnd));
    FUZZ_CHECK(path.find("\r\n") == std::string::npos);
    FUZZ_CHECK(path.empty() || (path.front() != ' ' && path.back() != ' '));

    FUZZ_CHECK(GetHeaderValue(request, "Range:").find("\r\n") == std::string::npos);
    const int64_t start = GetRangeStart(request);
    FUZZ_CHECK(start >= 0);
    const int64_t size64 = 4096;
    if (start < size64) {
        const std::string header = BuildFileHeader(start, size64);
        FUZZ_CHECK(header.find("Content-Length: " + std::to_string(size64 - start) + "\r\n") != std::string::npos);
        FUZZ_CHECK(header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0);
    }

    // A servable file must be one of the regular files inside the root.
    const std::string mapped = MapRequestPath(root, path);
    const std::string file = ServableFile(root, mapped);
    if (!file.empty()) {
        char resolved[PATH_MAX];
        FUZZ_CHECK(realpath(mapped.c_str(), resolved));
        FUZZ_CHECK(file == resolved);
        FUZZ_CHECK(file.compare(0, root.size(), root) == 0);
        FUZZ_CHECK(sharetree::InsideFiles().count(file.substr(root.size())) == 1);
    }
    return 0;
}

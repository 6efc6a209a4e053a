#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ShareTestUtil.h"
#include "share/HttpText.h"
#include "share/TrimSpaces.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(HttpRequestText, RequestPath) {
    EXPECT_EQ(GetRequestPath("GET /a.mp4 HTTP/1.1\r\nHost: x\r\n\r\n"), "/a.mp4");
    EXPECT_EQ(GetRequestPath("GET   /a%20b.mp4?x=1   HTTP/1.1\r\n"), "/a%20b.mp4?x=1");
    EXPECT_EQ(GetRequestPath("GET /only\r\n"), "/only");
    EXPECT_EQ(GetRequestPath("\r\nGET /a HTTP/1.1\r\n"), "");
    EXPECT_EQ(GetRequestPath("GET /a HTTP/1.1"), "");
    // Without "GET " the line is read from its fourth character on.
    EXPECT_EQ(GetRequestPath("PUT /a.mp4 HTTP/1.1\r\n"), "/a.mp4");
    EXPECT_EQ(GetRequestPath("POST /a.mp4 HTTP/1.1\r\n"), "T");
    EXPECT_EQ(GetRequestPath("AB\r\n"), "");
}

TEST(HttpRequestText, HeaderValueAndTrim) {
    const std::string req = "GET / HTTP/1.1\r\nHost: h\r\nRANGE:   BYTES=100-  \r\n\r\n";
    EXPECT_EQ(GetHeaderValue(req, "Range:"), "bytes=100-");
    EXPECT_EQ(GetHeaderValue(req, "host:"), "h");
    EXPECT_EQ(GetHeaderValue(req, "Missing:"), "");
    EXPECT_EQ(GetHeaderValue("GET / HTTP/1.1\r\nRange: bytes=1-", "Range:"), "");
    EXPECT_EQ(TrimSpaces(" \t\r\n x y \v\f"), "x y");
    EXPECT_EQ(TrimSpaces(" \t "), "");
}

TEST(HttpRequestText, RangeStart) {
    auto start = [](const std::string& range) {
        return GetRangeStart("GET /a HTTP/1.1\r\nRange: " + range + "\r\n\r\n");
    };
    EXPECT_EQ(GetRangeStart("GET /a HTTP/1.1\r\n\r\n"), 0);
    EXPECT_EQ(start("bytes=0-"), 0);
    EXPECT_EQ(start("bytes=100-"), 100);
    EXPECT_EQ(start("bytes=100-199"), 100);
    EXPECT_EQ(start("bytes=100-199,300-400"), 100);
    EXPECT_EQ(start("bytes=-500"), 0);
    EXPECT_EQ(start("bytes=abc-"), 0);
    EXPECT_EQ(start("bytes=12x-"), 12);
    EXPECT_EQ(start("bytes=5000000000-"), 5000000000LL);
    EXPECT_EQ(start("items=7-"), 0);
}

TEST(HttpRequestText, PathMappingAndRootCheck) {
    TempTree tree;
    std::string file = tree.File("a.mp4", "abc");
    tree.File("sub/b.mp4", "b");
    EXPECT_EQ(MapRequestPath("D://ROZivuvori", "/a.mp4"), "D://ROZivuvori/a.mp4");
    EXPECT_EQ(MapRequestPath("D://ROZivuvori", "/D://ROZivuvori/a.mp4"), "D://ROZivuvori/a.mp4");
    EXPECT_EQ(MapRequestPath("r", "/"), "r/");

    EXPECT_TRUE(IsServableFile(tree.Root(), MapRequestPath(tree.Root(), "/a.mp4")));
    EXPECT_TRUE(IsServableFile(tree.Root(), MapRequestPath(tree.Root(), "/sub/../a.mp4")));
    EXPECT_FALSE(IsServableFile(tree.Root(), MapRequestPath(tree.Root(), "/")));
    EXPECT_FALSE(IsServableFile(tree.Root(), MapRequestPath(tree.Root(), "/sub")));
    EXPECT_FALSE(IsServableFile(tree.Root(), MapRequestPath(tree.Root(), "/../../etc/passwd")));
    EXPECT_FALSE(IsServableFile(tree.Root(), MapRequestPath(tree.Root(), "/missing.mp4")));
    // A sibling whose name starts with the root's name is outside it.
    std::filesystem::create_directories(tree.Root() + "-x");
    std::ofstream(tree.Root() + "-x/a.mp4") << "x";
    EXPECT_FALSE(IsServableFile(tree.Root(), tree.Root() + "-x/a.mp4"));
    std::filesystem::create_symlink("/etc/passwd", tree.Root() + "/leak.mp4");
    EXPECT_FALSE(IsServableFile(tree.Root(), tree.Root() + "/leak.mp4"));

    std::filesystem::remove_all(tree.Root() + "-x");

    EXPECT_EQ(GetFileSize(file), 3);
    EXPECT_EQ(GetFileSize(tree.Root() + "/missing"), -1);
}

TEST(HttpResponseText, FileHeaders) {
    EXPECT_EQ(BuildFileHeader(0, 1000),
              "HTTP/1.1 200\r\n"
              "Content-Type: video/mp4\r\n"
              "Accept-Ranges: bytes\r\n"
              "Last-Modified: Mon, 08 Aug 2011 10:33:15 GMT\r\n"
              "Content-Length: 1000\r\n"
              "Server: lighttpd/1.5.0\r\n\r\n");
    EXPECT_EQ(BuildFileHeader(100, 1000),
              "HTTP/1.1 206 Partial Content\r\n"
              "Content-Type: video/mp4\r\n"
              "Accept-Ranges: bytes\r\n"
              "Last-Modified: Mon, 08 Aug 2011 10:33:15 GMT\r\n"
              "Content-Range: bytes 100-999/1000\r\n"
              "Content-Length: 900\r\n"
              "Server: lighttpd/1.5.0\r\n\r\n");
    EXPECT_THAT(BuildFileHeader(1000, 1000), HasSubstr("Content-Range: bytes 1000-999/1000\r\n"
                                                       "Content-Length: 0\r\n"));
    EXPECT_THAT(BuildFileHeader(1, 6000000000LL),
                HasSubstr("bytes 1-5999999999/6000000000\r\nContent-Length: 5999999999\r\n"));
}

TEST(HttpResponseText, ListingShapeAndLength) {
    TempTree tree;
    tree.File("a.mp4");
    tree.File("sub/b.mkv");
    tree.File("skip.txt");
    tree.File("caf\xc3\xa9.mp4");
    const std::string response = BuildListingResponse(tree.Root());
    const std::string::size_type split = response.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    const std::string header = response.substr(0, split + 4);
    const std::string body = response.substr(split + 4);
    EXPECT_EQ(header, "HTTP/1.1 200 \r\nContent-Type: text/html\r\nContent-Length: 0" +
                          std::to_string(body.size()) + "\r\nServer: lighttpd/1.5.0\r\n\r\n");
    EXPECT_THAT(body, StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                 "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\"\t\t "
                                 "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
                                 "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en\" "
                                 "lang=\"en\"><head><title>11111111</title></head><body>"));
    EXPECT_THAT(body, HasSubstr("<li><a href=\"/a.mp4\"><b>http:///a.mp4</b></a> </li>\r\n"));
    EXPECT_THAT(body, HasSubstr("<li><a href=\"/sub/b.mkv\"><b>http:///sub/b.mkv</b></a> </li>\r\n"));
    EXPECT_THAT(body, HasSubstr("<a href=\"/caf\xc3\xa9.mp4\">"));
    EXPECT_THAT(body, Not(HasSubstr("skip.txt")));
    const std::string sample = std::string("<li><a href=\"") + SAMPLE_VIDEO_URL + "\"><b>" +
                               SAMPLE_VIDEO_LABEL + "</b></a> </li>\r\n</body></html>\r\n\r\n";
    EXPECT_THAT(body, ::testing::EndsWith(sample));
}

TEST(HttpResponseText, ListingOfMissingRootHoldsOnlyTheSample) {
    TempTree tree;
    const std::string response = BuildListingResponse(tree.Root() + "/missing");
    EXPECT_EQ(response.find("<li>"), response.rfind("<li>"));
}

#pragma once
// The share tests' trees and their HTTP file server.

#include <memory>
#include <string>

#include "common/FileTestUtil.h"
#include "common/NetTestUtil.h"
#include "share/HttpConnection.h"
#include "stream/TcpServer.h"

using namespace nettest;

// The HTTP file server on an ephemeral loopback port, serving `root`.
inline std::unique_ptr<TcpServer> ServeHttp(const std::string& root, int requestTimeoutMs = 0) {
    auto* prototype = new HttpConnection();
    EXPECT_EQ(prototype->SetRoot(root.c_str()), 0);
    if (requestTimeoutMs)
        prototype->SetRequestTimeout(requestTimeoutMs);
    auto server = std::make_unique<TcpServer>(0, prototype);
    EXPECT_EQ(server->Listen(), 0);
    return server;
}

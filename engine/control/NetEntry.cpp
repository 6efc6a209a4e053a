#include "engine/control/NetEntry.h"

#include <string>

#include "engine/MediaPlayer.h"
#include "engine/control/PlayEntry.h"
#include "platform/ShareRoot.h"
#include "platform/Trace.h"
#include "share/HttpConnection.h"
#include "stream/TcpServer.h"
#include "stream/VideoSender.h"

namespace {
// Made by the first StartTcp and kept until ReleaseTcp or the process ends.
TcpServer* g_pStreamSvr = nullptr;
TcpServer* g_pHttpSvr = nullptr;
std::string g_strHttpRoot = SHARE_ROOT;
} // namespace

int StartTcp() {
    DebugTrace("playerServer jni StartTcp1()\r\n");
    if (!g_pStreamSvr) {
        auto* sender = new VideoSender;
        sender->SetRoot(g_strHttpRoot.c_str());  // the stream server shares the same files
        g_pStreamSvr = new TcpServer(kStreamPort, sender);
    }
    if (!g_pHttpSvr) {
        auto* proto = new HttpConnection;
        proto->SetRoot(g_strHttpRoot.c_str());
        g_pHttpSvr = new TcpServer(kHttpPort, proto);
    }
    if (g_pStreamSvr->IsRunning())
        g_pStreamSvr->StopListen();
    if (g_pHttpSvr->IsRunning())
        g_pHttpSvr->StopListen();
    DebugTrace("playerServer jni StartTcp()\r\n");
    g_pStreamSvr->Listen();
    g_pHttpSvr->Listen();
    return 0;
}

int StopTcpSvr() {
    if (g_pStreamSvr && g_pStreamSvr->IsRunning()) {
        DebugTrace("playerServer jni StopTcpSvr()\r\n");
        g_pStreamSvr->StopListen();
    }
    return 0;
}

void RemotePlay(const char* address, const char* name) {
    ThePlayer().Stop();
    ThePlayer().StartPlay(address, kStreamPort, name);
    Play();
}

void StopAll() {
    ThePlayer().Stop();
    StopTcpSvr();
}

void ReleaseTcp() {
    delete g_pStreamSvr;
    g_pStreamSvr = nullptr;
    delete g_pHttpSvr;
    g_pHttpSvr = nullptr;
}

TcpServer* StreamListener() { return g_pStreamSvr; }
TcpServer* HttpListener() { return g_pHttpSvr; }

void SetHttpRoot(const char* root) {
    if (root)
        g_strHttpRoot = root;
}

#include "share/UdpSocket.h"

#include <cstdio>
#include <vector>

#include "platform/ShareRoot.h"
#include "platform/Sleep.h"
#include "platform/TextCodec.h"
#include "platform/Trace.h"
#include "share/ShareFiles.h"
#include "share/TrimSpaces.h"

namespace {

// Tested against the command word in this order; the first key it contains
// decides. The reply kinds are listed so that two instances never answer
// each other.
enum class Command { None, Ping, GetServerInfo, ServerInfoReply, GetShareFiles, RemotePlay, Ack };

struct CommandKey {
    const char* key;
    Command command;
};

constexpr CommandKey COMMAND_KEYS[] = {
    {"Ping:", Command::Ping},
    {"req:getsvrinfo", Command::GetServerInfo},
    {"result:getsvrinfo", Command::ServerInfoReply},
    {"getsharefiles:", Command::GetShareFiles},
    {"raduzira:", Command::RemotePlay},
    {"ACK:", Command::Ack},
};

Command Classify(const std::string& commandWord) {
    if (commandWord.empty())
        return Command::None;
    for (const CommandKey& k : COMMAND_KEYS)
        if (commandWord.find(k.key) != std::string::npos)
            return k.command;
    return Command::None;
}

}  // namespace

CUdpSocket::CUdpSocket() : m_strShareRoot(SHARE_ROOT) {}

CUdpSocket::~CUdpSocket() = default;

std::string CUdpSocket::GetCommand(const std::string& text) {
    std::string trimmed = TrimSpaces(text);
    std::string::size_type space = trimmed.find(' ');
    if (space == std::string::npos || space == 0)
        return {};
    return trimmed.substr(0, space);
}

std::string CUdpSocket::GetValue(const std::string& text, const std::string& key) {
    std::string::size_type at = text.find(key);
    if (key.empty() || at == std::string::npos)
        return {};
    std::string::size_type open = text.find('"', at);
    if (open == std::string::npos)
        return {};
    std::string::size_type close = text.find('"', open + 1);
    if (close == std::string::npos)
        return {};
    return text.substr(open + 1, close - open - 1);
}

int CUdpSocket::SendToPeer(const std::string& message, const std::string& host, unsigned port) {
    std::string wire = AnsiToUtf8(message);
    SendTo(wire.data(), static_cast<int>(wire.size()), port, host);
    return 0;
}

int CUdpSocket::SendPlayRequest(const std::string& host, const std::string& srcIp,
                                const std::string& fileName, int time) {
    std::string message = "raduzira: strFileName=\"" + fileName + "\" strSrcIP=\"" + srcIp +
                          "\" time=\"" + std::to_string(time) + "\" nSerial=\"" +
                          std::to_string(PLAY_REQUEST_SERIAL) + "\" ";
    SendToPeer(message, host, UDP_PEER_PORT);
    return 0;
}

void CUdpSocket::SetPlayRequestHandler(PlayRequestHandler handler) {
    m_playRequest = std::move(handler);
}

void CUdpSocket::SetShareRoot(const std::string& root) { m_strShareRoot = root; }

void CUdpSocket::SendCatalogue(const std::string& host, unsigned port) {
    std::vector<std::string> files;
    FindShareFiles(m_strShareRoot, files);
    for (const std::string& file : files) {
        SendToPeer("result:getsharefiles filename=\"" + file + "\"", host, port);
        DebugTrace("%s\r\n", file.c_str());
        Sleep(CATALOGUE_SEND_PAUSE_MS);
    }
}

void CUdpSocket::OnReceive(int errorCode) {
    char buffer[UDP_RECV_BUFFER_SIZE];
    std::string fromAddress;
    unsigned fromPort = 0;
    int n = ReceiveFrom(buffer, sizeof buffer, fromAddress, fromPort);
    if (n > 0) {
        const std::string text = Utf8ToAnsi(std::string(buffer, static_cast<size_t>(n)));
        switch (Classify(GetCommand(text))) {
        case Command::GetServerInfo: {
            char reply[128];
            std::snprintf(reply, sizeof reply, "result:getsvrinfo  ip:%s port:%u ",
                          fromAddress.c_str(), fromPort);
            SendToPeer(reply, fromAddress, fromPort);
            break;
        }
        case Command::GetShareFiles:
            SendCatalogue(fromAddress, fromPort);
            break;
        case Command::RemotePlay: {
            DebugTrace("remoteplay: %s", text.c_str());
            std::string fileName = GetValue(text, "strFileName");
            std::string srcIp = GetValue(text, "strSrcIP");
            if (m_playRequest)
                m_playRequest(srcIp, fileName);
            break;
        }
        case Command::None:
        case Command::Ping:
        case Command::ServerInfoReply:
        case Command::Ack:
            break;
        }
    }
    CAsyncSocket::OnReceive(errorCode);
}

void CUdpSocket::OnSend(int errorCode) { CAsyncSocket::OnSend(errorCode); }

#include "share/UdpSocket.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/ShareRoot.h"
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

CUdpSocket::~CUdpSocket() {
    {
        std::lock_guard<std::mutex> lock(m_jobMutex);
        m_bStop = true;
    }
    m_jobWake.notify_all();
    if (m_catalogueThread.joinable())
        m_catalogueThread.join();
}

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

void CUdpSocket::SetLogHook(std::function<void(const std::string&)> hook) { m_log = std::move(hook); }

bool CUdpSocket::QueueCatalogue(const std::string& host, unsigned port) {
    std::lock_guard<std::mutex> lock(m_jobMutex);
    const Peer peer {host, port};
    if (auto it = m_jobs.find(peer); it != m_jobs.end()) {
        const bool first = !it->second.again;
        it->second.again = true;
        it->second.againRoot = m_strShareRoot;
        return first;
    }
    const auto fromHost = std::count_if(m_jobs.begin(), m_jobs.end(), [&](const auto& j) { return j.first.first == host; });
    if (int(m_jobs.size()) >= UDP_MAX_CATALOGUE_PEERS || fromHost >= UDP_MAX_CATALOGUES_PER_ADDRESS)
        return false;
    m_jobs[peer].root = m_strShareRoot;
    if (!m_catalogueThread.joinable()) {
        try {
            m_catalogueThread = std::thread(&CUdpSocket::CatalogueThread, this);
        } catch (const std::system_error&) {
            m_jobs.erase(peer);
            return false;
        }
    }
    m_jobWake.notify_all();
    return true;
}

// Walks each new peer's catalogue, then sends every peer the next entry of
// its own, one round per pause, so each peer gets its catalogue at the pace
// and none waits for another's to end.
void CUdpSocket::CatalogueThread() {
    std::unique_lock<std::mutex> lock(m_jobMutex);
    while (!m_bStop) {
        if (m_jobs.empty()) {
            m_jobWake.wait(lock, [this] { return m_bStop || !m_jobs.empty(); });
            continue;
        }
        for (auto& [peer, job] : m_jobs) {
            if (job.walked)
                continue;
            const std::string root = job.root;
            lock.unlock();
            std::vector<std::string> files;
            FindShareFiles(root, files);
            lock.lock();
            job.entries = std::move(files);
            job.walked = true;
        }
        std::vector<std::pair<Peer, std::string>> round;
        for (auto it = m_jobs.begin(); it != m_jobs.end();) {
            CatalogueJob& job = it->second;
            if (job.next < job.entries.size())
                round.push_back({it->first, std::move(job.entries[job.next++])});
            // Done before its last datagram leaves, so that a request that
            // follows the catalogue is a new one.
            if (job.next < job.entries.size()) {
                ++it;
            } else if (job.again) {
                CatalogueJob next;
                next.root = std::move(job.againRoot);
                job = std::move(next);
                ++it;
            } else {
                it = m_jobs.erase(it);
            }
        }
        lock.unlock();
        for (const auto& [to, file] : round) {
            SendToPeer("result:getsharefiles filename=\"" + file + "\"", to.first, to.second);
            DebugTrace("%s\r\n", file.c_str());
        }
        lock.lock();
        if (!round.empty())
            m_jobWake.wait_for(lock, std::chrono::milliseconds(CATALOGUE_SEND_PAUSE_MS), [this] { return m_bStop; });
    }
}

bool CUdpSocket::TakeAnswer(const std::string& host) {
    const Clock::time_point now = Clock::now();
    if (m_buckets.size() > 1024)
        std::erase_if(m_buckets, [now](const auto& b) { return now - b.second.filled > std::chrono::seconds(10); });
    Bucket& b = m_buckets[host];
    if (b.filled != Clock::time_point {}) {
        const double seconds = std::chrono::duration<double>(now - b.filled).count();
        b.tokens = std::min<double>(UDP_ANSWER_BURST, b.tokens + seconds * UDP_ANSWERS_PER_SECOND);
    }
    b.filled = now;
    if (b.tokens < 1)
        return false;
    b.tokens -= 1;
    return true;
}

void CUdpSocket::NoteRefused(const std::string& host) {
    ++m_nRefused;
    const Clock::time_point now = Clock::now();
    if (m_bRefusalLogged && now - m_tRefusalLogged < UDP_REFUSAL_LOG_INTERVAL)
        return;
    const std::string line = "UDP port " + std::to_string(LocalPort()) + ": ignored " + std::to_string(m_nRefused) +
                             (m_nRefused == 1 ? " datagram" : " datagrams") +
                             " from outside the local networks (latest from " + host + ")";
    DebugTrace("%s\r\n", line.c_str());
    if (m_log)
        m_log(line);
    m_nRefused = 0;
    m_tRefusalLogged = now;
    m_bRefusalLogged = true;
}

void CUdpSocket::OnReceive(int errorCode) {
    char buffer[UDP_RECV_BUFFER_SIZE];
    std::string fromAddress, toAddress;
    unsigned fromPort = 0;
    int n = ReceiveFrom(buffer, sizeof buffer, fromAddress, fromPort, toAddress);
    const std::optional<NetAddress> from = NetAddress::Parse(fromAddress);
    if (n > 0 && (!from || !m_interfaces.IsLocalPeer(*from))) {
        NoteRefused(fromAddress);
        n = 0;
    }
    if (n > 0) {
        const std::string text = Utf8ToAnsi(std::string(buffer, static_cast<size_t>(n)));
        switch (Classify(GetCommand(text))) {
        case Command::GetServerInfo: {
            if (!TakeAnswer(fromAddress))
                break;
            char reply[128];
            std::snprintf(reply, sizeof reply, "result:getsvrinfo  ip:%s port:%u ",
                          fromAddress.c_str(), fromPort);
            SendToPeer(reply, fromAddress, fromPort);
            break;
        }
        case Command::GetShareFiles:
            if (!QueueCatalogue(fromAddress, fromPort))
                DebugTrace("getsharefiles from %s:%u: not queued\r\n", fromAddress.c_str(), fromPort);
            break;
        case Command::RemotePlay: {
            DebugTrace("remoteplay: %s", text.c_str());
            const std::optional<NetAddress> to = NetAddress::Parse(toAddress);
            if (to && m_interfaces.IsBroadcast(*to)) {
                DebugTrace("remoteplay sent to the broadcast address %s: ignored\r\n", toAddress.c_str());
                break;
            }
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

#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/NetAddress.h"

// The control port this program listens on, and the control port of the
// other side, to which it only sends.
inline constexpr unsigned UDP_CONTROL_PORT = 2000;
inline constexpr unsigned UDP_PEER_PORT = 1999;
// Longer datagrams are dropped unhandled.
inline constexpr int UDP_RECV_BUFFER_SIZE = 1024;
// Pause after each catalogue datagram, so a slow peer is not flooded.
inline constexpr int CATALOGUE_SEND_PAUSE_MS = 5;
// The serial number every play request carries.
inline constexpr int PLAY_REQUEST_SERIAL = 10;
// Answers other than the catalogue, per peer address: a burst of this many,
// then this many a second.
inline constexpr int UDP_ANSWER_BURST = 40;
inline constexpr int UDP_ANSWERS_PER_SECOND = 20;
// Peers (address and port) whose catalogue is being sent at once, in all
// and from one address; more requests wait for the peer to ask again.
inline constexpr int UDP_MAX_CATALOGUE_PEERS = 32;
inline constexpr int UDP_MAX_CATALOGUES_PER_ADDRESS = 4;
// Datagrams from outside the local networks are counted; a line about them
// goes to the log at most this often.
inline constexpr std::chrono::seconds UDP_REFUSAL_LOG_INTERVAL {60};

// The UDP control socket: answers presence, server-information and catalogue
// requests and turns "raduzira:" into a play request. Datagrams are UTF-8 on
// the wire and the local code page inside.
//
// Only peers on the local networks (loopback, private and link-local ranges,
// the subnets of this machine's interfaces) are answered; datagrams from
// elsewhere are dropped and counted in the log. Answers are rate-limited
// per peer address. A catalogue is walked and sent by a thread of its own at
// its 5 ms pace, one per peer (address and port) at a time (requests while
// that peer's is under way are answered by one more catalogue after it, not
// one each) and a few per address, so the owner's thread answers everything
// else at once. A "raduzira:" sent to a broadcast address is
// ignored: one datagram must not take over every player on the network.
//
// Threads: owned by one event-loop thread (the window's UI thread or the
// server's poll loop); Create, OnReceive, the setters and the send methods
// are all called there. The play-request handler runs on that thread too;
// the log hook on that thread. The catalogue thread is joined by the
// destructor.
class CUdpSocket : public CAsyncSocket {
public:
    // Receives (serving address, file name) of a "raduzira:" request; the
    // owner wires it to RemotePlay. Both are passed on unchecked.
    using PlayRequestHandler =
        std::function<void(const std::string& srcIp, const std::string& fileName)>;

    CUdpSocket();
    ~CUdpSocket() override;

    // Handles one waiting datagram.
    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;

    // The command word: the trimmed text before its first space, or empty
    // when the trimmed text holds no space past its first character.
    static std::string GetCommand(const std::string& text);
    // The value of key="value" for the first occurrence of `key` anywhere in
    // `text`; empty when the key or either quote is missing.
    static std::string GetValue(const std::string& text, const std::string& key);

    // Sends `message` (local code page) as one UTF-8 datagram. Always 0.
    int SendToPeer(const std::string& message, const std::string& host, unsigned port);
    // Asks `host` (on its port 1999) to play `fileName` from `srcIp`. Returns 0.
    int SendPlayRequest(const std::string& host, const std::string& srcIp,
                        const std::string& fileName, int time);

    void SetPlayRequestHandler(PlayRequestHandler handler);
    // Receives one line about datagrams dropped for coming from outside the
    // local networks, at most once per UDP_REFUSAL_LOG_INTERVAL.
    void SetLogHook(std::function<void(const std::string&)> hook);
    // The catalogue root answered to "getsharefiles:"; SHARE_ROOT by default.
    void SetShareRoot(const std::string& root);
    const std::string& ShareRoot() const { return m_strShareRoot; }

private:
    using Clock = std::chrono::steady_clock;
    struct Bucket {
        double tokens = UDP_ANSWER_BURST;
        Clock::time_point filled {};
    };
    using Peer = std::pair<std::string, unsigned>;  // address, port
    struct CatalogueJob {
        std::string root;
        bool walked = false;
        std::vector<std::string> entries;
        size_t next = 0;
        // Asked again meanwhile: sent once more after this one.
        bool again = false;
        std::string againRoot;
    };

    // Queues the catalogue for the peer on the catalogue thread; false when
    // it joins the one already queued after the peer's running one, or there
    // is no room.
    bool QueueCatalogue(const std::string& host, unsigned port);
    void CatalogueThread();
    // False once the peer has used up its answers for now.
    bool TakeAnswer(const std::string& host);
    // Counts a datagram from outside the local networks; logs when due.
    void NoteRefused(const std::string& host);

    PlayRequestHandler m_playRequest;
    std::function<void(const std::string&)> m_log;
    std::string m_strShareRoot;
    LocalInterfaces m_interfaces;
    std::map<std::string, Bucket> m_buckets;  // owner's thread
    int m_nRefused = 0;                       // since the last line
    Clock::time_point m_tRefusalLogged {};
    bool m_bRefusalLogged = false;

    std::mutex m_jobMutex;  // guards the three below
    std::condition_variable m_jobWake;
    std::map<Peer, CatalogueJob> m_jobs;
    bool m_bStop = false;
    std::thread m_catalogueThread;
};

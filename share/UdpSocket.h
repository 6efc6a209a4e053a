#pragma once
#include <functional>
#include <string>

#include "platform/AsyncSocket.h"

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

// The UDP control socket: answers presence, server-information and catalogue
// requests and turns "raduzira:" into a play request. Datagrams are UTF-8 on
// the wire and the local code page inside.
//
// Threads: owned by one event-loop thread (the window's UI thread or the
// server's poll loop); Create, OnReceive, the setters and the send methods
// are all called there. The play-request handler runs on that thread too.
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
    // The catalogue root answered to "getsharefiles:"; SHARE_ROOT by default.
    void SetShareRoot(const std::string& root);
    const std::string& ShareRoot() const { return m_strShareRoot; }

private:
    void SendCatalogue(const std::string& host, unsigned port);

    PlayRequestHandler m_playRequest;
    std::string m_strShareRoot;
};

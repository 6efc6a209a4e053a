#pragma once
// The receiving end of one stream connection, made by the playback
// controller's remote source. It sends the requests its owner asks for and
// turns every answer into a call on the owner (RecverSink). It keeps no queue
// or playback state of its own. When the peer closes, it only marks itself
// ended; its requests then fail with -1.
//
// Threads: Connect, SetOwner, SetName on the owner's thread before any
// request; the Send* requests from any thread; OnPackage and the Process*
// handlers (and so the owner's callbacks) on the receive thread. The owner
// deletes the receiver only after Close and JoinThreads.

#include <string>

#include "engine/RecverSink.h"
#include "stream/PkgConnection.h"

class ByteStream;

class VideoRecver : public PkgConnection, public RemoteRecver {
public:
    // After this long without a request (a paused player) a request the
    // sender ignores goes out, well inside the sender's idle limit.
    static constexpr int kKeepAliveMs = 5000;

    VideoRecver();
    TcpConnection* Clone() override;
    ~VideoRecver() override;
    int OnPackage(const uint8_t* pPkg, int nLen) override;

    virtual int ProcessPkg(int version, int type, ByteStream& reader);
    virtual int ProcessStreamInfo(ByteStream& reader);
    virtual int ProcessVideoData(const uint8_t* pPkg, int nLen, int type);
    virtual int ProcessStreamEnd(ByteStream& reader);

    // RemoteRecver
    int Connect(const char* host, int port) override { return TcpConnection::Connect(host, port); }
    void SetOwner(RecverSink* owner) override { m_pOwner = owner; }
    void SetName(const char* name) override;
    int SendDescribe() override;
    int SendFetchMediaPkgRsq() override;
    int SendSeek(int seconds) override;
    void Close() override { TcpConnection::Close(); }
    void JoinThreads() override { TcpConnection::JoinThreads(); }
    void ReleaseSendBuffers() override { TcpConnection::ReleaseSendBuffers(); }
    bool IsEnded() const override { return !m_bConnected || m_bClosed; }

    const std::string& Name() const { return m_strName; }

private:
    static void TraceProcessPkg(int type);
    int SendPkg(const std::vector<uint8_t>& pkg);

    std::string m_strName;               // local code page
    RecverSink* m_pOwner = nullptr;      // not owned
};

#pragma once
// The two sides of a stream receiver as the engine sees them. The engine does
// not link the transport layer: the controller talks to its receiver through
// RemoteRecver and is told about arrivals through RecverSink. The control
// layer installs the factory that makes the real receiver (a VideoRecver).
//
// Threads: the RecverSink callbacks run on the receiver's receive thread.
// Connect, SetOwner and SetName run on the controlling thread before any
// request; SendDescribe and SendFetchMediaPkgRsq on the feeder thread; SendSeek
// on the thread that seeks; Close on any thread; JoinThreads and
// ReleaseSendBuffers on the controlling thread, never on the receiver's own
// threads.

#include <functional>

extern "C" {
struct AVPacket;
}

class ByteStream;
class RemoteRecver;

class RecverSink {
public:
    virtual ~RecverSink() = default;
    // A media package has been parsed; the sink takes pkt. bVideo: 1 video, 0 audio.
    virtual int OnMediaPackage(AVPacket* pkt, int codecId, int bVideo, RemoteRecver* recver) = 0;
    // A stream description arrived; the reader stands on the whole package.
    virtual int OnStreamInfo(ByteStream& reader, RemoteRecver* recver) = 0;
    // The sender has no more packages.
    virtual int OnStreamEnd(ByteStream& reader, RemoteRecver* recver) = 0;
};

class RemoteRecver {
public:
    virtual ~RemoteRecver() = default;
    // host: dotted IPv4. 0 on success, -1 on failure.
    virtual int Connect(const char* host, int port) = 0;
    virtual void SetOwner(RecverSink* owner) = 0;
    // A null name keeps the previous one.
    virtual void SetName(const char* name) = 0;
    // Each returns 0 when queued, -1 when the connection has no socket.
    virtual int SendDescribe() = 0;
    virtual int SendFetchMediaPkgRsq() = 0;
    virtual int SendSeek(int seconds) = 0;
    // Ends the connection; no callback starts after JoinThreads returns.
    virtual void Close() = 0;
    virtual void JoinThreads() = 0;
    virtual void ReleaseSendBuffers() = 0;
    // Never connected, or the connection has ended (any thread).
    virtual bool IsEnded() const = 0;
};

// Makes a new, unconnected receiver owned by the caller.
using RecverFactory = std::function<RemoteRecver*()>;

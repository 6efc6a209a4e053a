#pragma once
// The serving end of one stream connection. The stream listener clones one
// per client, so each client has its own demuxer and read position. Passive:
// every request gets at most one answer, built on the receive thread.
//
// A describe reaches only regular files inside the share root (SetRoot):
// the file is opened once, beneath the root (ShareRoot.h), and the demuxer
// reads that same open file through the file protocol; any other name is
// described as missing. A file the demuxer could not read is remembered for
// kFailedDescribeMs (by its identity, across all connections) and described
// as missing without being probed again.
//
// Threads: construction, SetRoot, Clone and destruction on the listener's threads;
// OnPackage and the handlers on the receive thread; OnClose on the receive or
// the send thread (the demuxer's lock and closed flag make that safe).

#include <string>

#include "stream/PkgConnection.h"

class ByteStream;
class VideoDemuxer;

class VideoSender : public PkgConnection {
public:
    static constexpr int kFailedDescribeMs = 60000;

    VideoSender();
    // The directory whose files may be served; copied to every clone.
    // Returns -1 when given no text, else 0.
    int SetRoot(const char* root);
    const std::string& Root() const { return m_strRoot; }
    TcpConnection* Clone() override;
    ~VideoSender() override;
    void OnClose() override;
    int OnPackage(const uint8_t* pPkg, int nLen) override;

    virtual int ProcessPkg(int version, int type, ByteStream& reader);
    virtual int ProcessMediaPkg(ByteStream& reader);
    virtual int ProcessFetchMediaPkg(int type);
    virtual int ProcessDescribe(ByteStream& reader);
    virtual int ProcessSeekPkg(ByteStream& reader);

    int SendOnePkg();
    int SendEndOfStream();

private:
    static int InterruptOpen(void* self);
    // Opens the demuxer on the file `name` names beneath the root; false
    // when it cannot be served.
    bool OpenServed(const std::string& name);

    VideoDemuxer* m_pDemuxer;  // owned
    std::string m_strRoot;
    int m_nFileFd = -1;        // the open file the demuxer reads; receive thread
};

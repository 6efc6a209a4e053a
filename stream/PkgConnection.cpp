#include "stream/PkgConnection.h"

PkgConnection::PkgConnection() = default;

TcpConnection* PkgConnection::Clone() { return new PkgConnection(); }

PkgConnection::~PkgConnection() { JoinThreads(); }

void PkgConnection::OnData(const uint8_t* data, int len) {
    m_assembler.FeedBytes(data, len, [this](const uint8_t* p, int n) { OnPackage(p, n); });
}

void PkgConnection::OnClose() {
    // After a send error this runs on the send thread while the receive
    // thread may still be assembling; the buffer then waits for destruction.
    if (OnReceiveThread())
        m_assembler.ReleaseBuffer();
    TcpConnection::OnClose();
}

int PkgConnection::OnPackage(const uint8_t*, int) { return 0; }

#pragma once
// A TcpConnection that speaks in packages: its OnData runs the frame
// assembler over each received chunk and hands every complete package to
// OnPackage, on the receive thread. The stream sender and receiver derive
// from it and override OnPackage (dispatching with DispatchPackage of
// StreamProtocol.h), OnClose, Clone and the destructor.
//
// Threads: as TcpConnection. The frame assembler belongs to the receive thread.

#include "stream/TcpConnection.h"

class PkgConnection : public TcpConnection {
public:
    PkgConnection();
    TcpConnection* Clone() override;
    ~PkgConnection() override;
    void OnData(const uint8_t* data, int len) override;
    // Frees the package buffer (on the receive thread), then the base behaviour.
    void OnClose() override;
    // Receive thread. (package bytes, total length) → 0; the bytes are valid
    // only during the call. The base ignores the package.
    virtual int OnPackage(const uint8_t* pPkg, int nLen);

private:
    FrameAssembler m_assembler;
};

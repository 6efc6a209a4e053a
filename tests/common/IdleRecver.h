#pragma once
// A stream receiver that accepts every request and never answers: a player
// "playing remotely" from it is fed by the test alone.
#include "engine/RecverSink.h"

struct IdleRecver : RemoteRecver {
    int Connect(const char*, int) override { return 0; }
    void SetOwner(RecverSink*) override {}
    void SetName(const char*) override {}
    int SendDescribe() override { return 0; }
    int SendFetchMediaPkgRsq() override { return 0; }
    int SendSeek(int) override { return 0; }
    void Close() override {}
    void JoinThreads() override {}
    void ReleaseSendBuffers() override {}
    bool IsEnded() const override { return false; }
};

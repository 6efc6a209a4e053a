#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The copy-data channel: how another local process hands a block of data to
// the running window. A Unix-domain datagram socket owned by the window,
// named per user in $XDG_RUNTIME_DIR (else /tmp) and readable and writable by
// that user only. Each datagram is a 32-bit code (host order) followed by the
// data block.
//
// Threads: the channel is owned by one event-loop thread (the window's UI
// thread), which calls every member; SendCopyData may run on any thread.

// Asks the window to play a medium a peer serves.
inline constexpr uint32_t COPYDATA_REMOTE_PLAY = 99;
// Asks the window to play a local file (the block is its absolute path,
// without a terminating zero) or, with an empty block, to come to the front.
// How a second `sivo FILE` hands its file to the window already running.
inline constexpr uint32_t COPYDATA_OPEN_FILE = 100;
// A sender gives up after this long when the window does not read its channel.
inline constexpr int COPYDATA_SEND_TIMEOUT_MS = 2000;
// Layout of the remote-play block: 4 bytes not interpreted, the peer address
// (zero-terminated, at most 255 bytes with its zero), then the media name
// (zero-terminated) to the end.
inline constexpr size_t COPYDATA_ADDRESS_OFFSET = 4;
inline constexpr size_t COPYDATA_ADDRESS_SIZE = 255;
inline constexpr size_t COPYDATA_NAME_OFFSET = COPYDATA_ADDRESS_OFFSET + COPYDATA_ADDRESS_SIZE;
// Longer datagrams are cut here (the name then has no terminating zero).
inline constexpr size_t COPYDATA_MAX_BLOCK = 4096;

// The channel's socket path for the current user.
std::string CopyDataPath();

class CCopyDataChannel {
public:
    CCopyDataChannel() = default;
    CCopyDataChannel(const CCopyDataChannel&) = delete;
    CCopyDataChannel& operator=(const CCopyDataChannel&) = delete;
    ~CCopyDataChannel();

    // Binds the socket at `path`. A leftover socket file nobody answers on is
    // replaced; a live one (another window) makes Create fail.
    bool Create(const std::string& path);
    // Closes the socket and removes its file.
    void Close();
    int Fd() const { return m_fd; }

    // Reads one waiting datagram. False when none is waiting or it is shorter
    // than its code; data gets the block after the code.
    bool Receive(uint32_t& code, std::vector<uint8_t>& data);

private:
    int m_fd = -1;
    std::string m_strPath;
};

// Sends one code and block to the channel at `path`. False (errno set) when
// no window listens there, or EAGAIN when its queue stays full for
// COPYDATA_SEND_TIMEOUT_MS (a window that does not read).
bool SendCopyData(const std::string& path, uint32_t code, const void* data, size_t size);

// Builds a remote-play block. Texts longer than their field are cut.
std::vector<uint8_t> MakeRemotePlayBlock(const std::string& address, const std::string& name);
// Reads the address and name of a remote-play block, never past `size`; a
// text without its zero ends at its field's end. False when the block is too
// short to reach the name.
bool ReadRemotePlayBlock(const uint8_t* data, size_t size, std::string& address, std::string& name);

#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "share/UdpSocket.h"

// How long discovery collects server-information replies by default.
inline constexpr int DISCOVERY_WINDOW_MS = 1000;
// A catalogue has no end marker: it has ended once nothing came for this long.
inline constexpr int CATALOGUE_QUIET_MS = 500;
// A flood of fake replies cannot grow the machine list beyond this.
inline constexpr size_t MAX_LAN_MACHINES = 256;
// Nor a peer that never falls silent the catalogue (about 5 minutes of a
// well-behaved server's pacing).
inline constexpr size_t MAX_CATALOGUE_ENTRIES = 65536;
// Catalogue entries hold whole paths, which may run past the control
// socket's own 1024-byte buffer; longer datagrams are dropped.
inline constexpr int CATALOGUE_DATAGRAM_MAX = 8192;
// The word after each request's command (a lone command word is ignored).
inline constexpr char DISCOVERY_REQUEST[] = "req:getsvrinfo sivo";
inline constexpr char CATALOGUE_REQUEST[] = "getsharefiles: list";

struct LanMachine {
    std::string address;  // dotted IPv4: the reply's source address
    bool local = false;   // the reply came from one of this machine's addresses
};

// The client half of the UDP control protocol: finds the machines that
// answer on the control port and lists what one of them shares. Every
// request goes from a fresh socket on an ephemeral port; only replies from
// the control port of the asked machine count.
//
// Threads: Discover and ListShareFiles block their caller and may run at the
// same time on different threads (each has its own socket); their handlers
// run on the calling thread. Cancel may be called from any thread. Set the
// targets before the first request.
class LanBrowser {
public:
    using MachineHandler = std::function<void(const LanMachine&)>;
    using EntryHandler = std::function<void(const std::string& name)>;

    explicit LanBrowser(unsigned port = UDP_CONTROL_PORT);
    ~LanBrowser();
    LanBrowser(const LanBrowser&) = delete;
    LanBrowser& operator=(const LanBrowser&) = delete;

    // Where discovery asks; empty (the default) means the broadcast address
    // of every IPv4 interface that has one, and 255.255.255.255.
    void SetTargets(std::vector<std::string> targets);
    unsigned Port() const { return m_nPort; }

    // Asks every target and collects replies for windowMs; calls onFound once
    // per new machine as its first reply arrives. At most MAX_LAN_MACHINES.
    std::vector<LanMachine> Discover(int windowMs = DISCOVERY_WINDOW_MS, const MachineHandler& onFound = {});

    // Asks the machine at `address` (dotted IPv4) for its catalogue and
    // collects entries until CATALOGUE_QUIET_MS pass without one. Names are
    // in the local code page, as the peer's `GetValue` of "filename" reads
    // them; entries without a name are skipped.
    std::vector<std::string> ListShareFiles(const std::string& address, const EntryHandler& onEntry = {});

    // Ends running and later requests early, with what they have so far.
    void Cancel();

    // The broadcast address of every IPv4 interface that has one.
    static std::vector<std::string> BroadcastAddresses();

private:
    unsigned m_nPort;
    std::vector<std::string> m_targets;
    std::atomic<bool> m_bCancel {false};
    const int m_cancelFd;  // an eventfd Cancel makes readable; -1 if none
};

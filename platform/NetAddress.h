#pragma once
// Peer addresses and address ranges, and what this machine's interfaces say
// about them: whether a peer is on a local network, whether a datagram was
// sent to a broadcast address. IPv4 is kept in its IPv4-mapped IPv6 form, so
// one comparison serves both families.
//
// Threads: the plain functions and NetAddress/AddressRange are free of state;
// LocalInterfaces caches the interface table under its own lock, any thread.

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class NetAddress {
public:
    NetAddress() = default;
    // A literal: dotted IPv4 ("192.168.1.2") or IPv6 ("fe80::1", a zone is
    // not accepted). Nothing for anything else.
    static std::optional<NetAddress> Parse(const std::string& text);
    // From a socket address of either family; nothing for other families.
    static std::optional<NetAddress> FromSockaddr(const sockaddr* sa);
    static NetAddress FromIpv4(uint32_t hostOrder);

    bool IsIpv4() const;
    // The text form: dotted IPv4, or IPv6 as inet_ntop writes it.
    std::string ToString() const;
    const std::array<uint8_t, 16>& Bytes() const { return m_bytes; }
    bool operator==(const NetAddress& o) const { return m_bytes == o.m_bytes; }
    bool operator<(const NetAddress& o) const { return m_bytes < o.m_bytes; }

private:
    std::array<uint8_t, 16> m_bytes {};
};

// An address with a prefix length: "10.0.0.0/8", "fd00::/8", or a single
// address without "/n".
class AddressRange {
public:
    AddressRange() = default;
    AddressRange(const NetAddress& base, int prefixBits);
    // Nothing for text that is not an address with an optional "/n" in its
    // family's range (0..32, 0..128); host bits set below the prefix are
    // accepted and ignored ("192.168.1.7/24").
    static std::optional<AddressRange> Parse(const std::string& text);
    bool Contains(const NetAddress& a) const;
    std::string ToString() const;

private:
    NetAddress m_base;
    int m_nBits = 128;  // of the mapped form
};

// Loopback, private and link-local ranges of both families (127/8, 10/8,
// 172.16/12, 192.168/16, 169.254/16; ::1, fc00::/7, fe80::/10).
bool IsLocalRange(const NetAddress& a);

// The addresses and subnets of this machine's interfaces, read again when
// older than kRefresh, so an interface that comes up is seen soon after.
class LocalInterfaces {
public:
    static constexpr std::chrono::seconds kRefresh {5};

    // A peer on a local network: a local range or a subnet of an interface.
    bool IsLocalPeer(const NetAddress& a);
    // A broadcast destination: 255.255.255.255, an interface's broadcast
    // address, or a multicast group.
    bool IsBroadcast(const NetAddress& a);
    // The interface table is read now, not at the next look.
    void Invalidate();

private:
    struct Subnet {
        AddressRange range;
        std::optional<NetAddress> broadcast;
    };
    void RefreshLocked();

    std::mutex m_mutex;
    std::vector<Subnet> m_subnets;
    std::chrono::steady_clock::time_point m_tRead {};
    bool m_bRead = false;
};

// A list of ranges a peer must fall in; an empty list lets everyone in.
class AllowList {
public:
    AllowList() = default;
    explicit AllowList(std::vector<AddressRange> ranges) : m_ranges(std::move(ranges)) {}
    bool Allows(const NetAddress& a) const;
    bool Empty() const { return m_ranges.empty(); }
    const std::vector<AddressRange>& Ranges() const { return m_ranges; }

private:
    std::vector<AddressRange> m_ranges;
};

// Parses ranges separated by white space or commas. On the first entry that
// is no range, false, with its 1-based number in `badEntry` and its text.
bool ParseAllowList(const std::string& text, std::vector<AddressRange>& out, int& badEntry, std::string& badText);

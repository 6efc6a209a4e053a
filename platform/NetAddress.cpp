#include "platform/NetAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

namespace {

constexpr int kMappedPrefix = 96;  // bits of ::ffff:0:0 before an IPv4 address

bool AllDigits(const std::string& s) {
    if (s.empty() || s.size() > 3)
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The local ranges, parsed once.
const std::vector<AddressRange>& LocalRanges() {
    static const std::vector<AddressRange> ranges = [] {
        std::vector<AddressRange> r;
        for (const char* text : {"127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
                                 "::1/128", "fc00::/7", "fe80::/10"})
            r.push_back(*AddressRange::Parse(text));
        return r;
    }();
    return ranges;
}

// Prefix length of a netmask (of its last four bytes for IPv4), or -1 when
// its bits are not contiguous.
int PrefixOf(const NetAddress& mask) {
    int bits = 0;
    bool ended = false;
    const auto& bytes = mask.Bytes();
    for (size_t at = mask.IsIpv4() ? 12 : 0; at < bytes.size(); ++at)
        for (int i = 7; i >= 0; --i) {
            const uint8_t byte = bytes[at];
            const bool set = (byte >> i) & 1;
            if (set && ended)
                return -1;
            if (set)
                ++bits;
            else
                ended = true;
        }
    return bits;
}

} // namespace

std::optional<NetAddress> NetAddress::Parse(const std::string& text) {
    NetAddress a;
    in_addr v4 {};
    in6_addr v6 {};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return FromIpv4(ntohl(v4.s_addr));
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        std::memcpy(a.m_bytes.data(), v6.s6_addr, 16);
        return a;
    }
    return std::nullopt;
}

std::optional<NetAddress> NetAddress::FromSockaddr(const sockaddr* sa) {
    if (!sa)
        return std::nullopt;
    if (sa->sa_family == AF_INET)
        return FromIpv4(ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr));
    if (sa->sa_family == AF_INET6) {
        NetAddress a;
        std::memcpy(a.m_bytes.data(), reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr.s6_addr, 16);
        return a;
    }
    return std::nullopt;
}

NetAddress NetAddress::FromIpv4(uint32_t hostOrder) {
    NetAddress a;
    a.m_bytes[10] = a.m_bytes[11] = 0xff;
    for (int i = 0; i < 4; ++i)
        a.m_bytes[12 + i] = uint8_t(hostOrder >> (24 - 8 * i));
    return a;
}

bool NetAddress::IsIpv4() const {
    for (int i = 0; i < 10; ++i)
        if (m_bytes[i])
            return false;
    return m_bytes[10] == 0xff && m_bytes[11] == 0xff;
}

std::string NetAddress::ToString() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (IsIpv4())
        inet_ntop(AF_INET, m_bytes.data() + 12, text, sizeof text);
    else
        inet_ntop(AF_INET6, m_bytes.data(), text, sizeof text);
    return text;
}

AddressRange::AddressRange(const NetAddress& base, int prefixBits) : m_base(base), m_nBits(prefixBits) {}

std::optional<AddressRange> AddressRange::Parse(const std::string& text) {
    const std::string::size_type slash = text.find('/');
    const std::optional<NetAddress> base = NetAddress::Parse(text.substr(0, slash));
    if (!base)
        return std::nullopt;
    // The family as written: "::ffff:10.0.0.0/104" counts IPv6 bits.
    const bool ipv4 = text.substr(0, slash).find(':') == std::string::npos;
    const int familyBits = ipv4 ? 32 : 128;
    int bits = familyBits;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (!AllDigits(digits))
            return std::nullopt;
        bits = std::stoi(digits);
        if (bits > familyBits)
            return std::nullopt;
    }
    return AddressRange(*base, ipv4 ? bits + kMappedPrefix : bits);
}

bool AddressRange::Contains(const NetAddress& a) const {
    const auto& x = a.Bytes();
    const auto& y = m_base.Bytes();
    int bits = m_nBits;
    for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
        const uint8_t mask = bits >= 8 ? 0xff : uint8_t(0xff << (8 - bits));
        if ((x[i] & mask) != (y[i] & mask))
            return false;
    }
    return true;
}

std::string AddressRange::ToString() const {
    const int bits = m_base.IsIpv4() && m_nBits >= kMappedPrefix ? m_nBits - kMappedPrefix : m_nBits;
    return m_base.ToString() + "/" + std::to_string(bits);
}

bool IsLocalRange(const NetAddress& a) {
    for (const AddressRange& r : LocalRanges())
        if (r.Contains(a))
            return true;
    return false;
}

bool LocalInterfaces::IsLocalPeer(const NetAddress& a) {
    if (IsLocalRange(a))
        return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    RefreshLocked();
    for (const Subnet& s : m_subnets)
        if (s.range.Contains(a))
            return true;
    return false;
}

bool LocalInterfaces::IsBroadcast(const NetAddress& a) {
    static const AddressRange multicast4 = *AddressRange::Parse("224.0.0.0/4");
    static const AddressRange multicast6 = *AddressRange::Parse("ff00::/8");
    if (a == NetAddress::FromIpv4(0xffffffffu) || multicast4.Contains(a) || multicast6.Contains(a))
        return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    RefreshLocked();
    for (const Subnet& s : m_subnets)
        if (s.broadcast && *s.broadcast == a)
            return true;
    return false;
}

void LocalInterfaces::Invalidate() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRead = false;
}

void LocalInterfaces::RefreshLocked() {
    const auto now = std::chrono::steady_clock::now();
    if (m_bRead && now - m_tRead < kRefresh)
        return;
    m_bRead = true;
    m_tRead = now;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return;  // the last table stays
    std::vector<Subnet> subnets;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        const std::optional<NetAddress> address = NetAddress::FromSockaddr(i->ifa_addr);
        const std::optional<NetAddress> mask = NetAddress::FromSockaddr(i->ifa_netmask);
        if (!address || !mask)
            continue;
        int bits = PrefixOf(*mask);
        if (bits < 0 || address->IsIpv4() != mask->IsIpv4())
            continue;
        if (address->IsIpv4())
            bits += kMappedPrefix;
        Subnet s {AddressRange(*address, bits), std::nullopt};
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
            s.broadcast = NetAddress::FromSockaddr(i->ifa_broadaddr);
        subnets.push_back(s);
    }
    freeifaddrs(list);
    m_subnets = std::move(subnets);
}

bool AllowList::Allows(const NetAddress& a) const {
    if (m_ranges.empty())
        return true;
    for (const AddressRange& r : m_ranges)
        if (r.Contains(a))
            return true;
    return false;
}

bool ParseAllowList(const std::string& text, std::vector<AddressRange>& out, int& badEntry, std::string& badText) {
    int entry = 0;
    std::string word;
    auto flush = [&]() {
        if (word.empty())
            return true;
        ++entry;
        const std::optional<AddressRange> range = AddressRange::Parse(word);
        if (!range) {
            badEntry = entry;
            badText = word;
            return false;
        }
        out.push_back(*range);
        word.clear();
        return true;
    };
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            if (!flush())
                return false;
        } else {
            word += c;
        }
    }
    return flush();
}

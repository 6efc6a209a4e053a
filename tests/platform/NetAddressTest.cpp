#include "platform/NetAddress.h"

#include <gtest/gtest.h>

#include <ifaddrs.h>
#include <net/if.h>

#include <string>
#include <vector>

namespace {

NetAddress A(const char* text) {
    const std::optional<NetAddress> a = NetAddress::Parse(text);
    EXPECT_TRUE(a) << text;
    return a.value_or(NetAddress());
}

} // namespace

TEST(NetAddress, RangesParseAndContainAcrossBothFamilies) {
    const char* const cases[][3] = {  // a range, an address inside it, one outside (but see ::/0)
        {"192.168.1.0/24", "192.168.1.255", "192.168.2.0"},
        {"192.168.1.7/24", "192.168.1.1", "192.169.1.7"},  // host bits ignored
        {"10.0.0.5", "10.0.0.5", "10.0.0.4"},              // one address
        {"0.0.0.0/0", "203.0.113.9", "::1"},                // every IPv4 address, no IPv6 one
        {"172.16.0.0/12", "172.31.255.255", "172.32.0.0"},
        {"fd00::/8", "fd12:3456::1", "fe80::1"},
        {"::/0", "2001:db8::1", "10.0.0.1"},  // IPv4 is held mapped: "::/0" holds 10.0.0.1 too
        {"::ffff:10.0.0.0/104", "10.1.2.3", "11.0.0.0"},
    };
    for (const auto& [range, inside, outside] : cases) {
        const std::optional<AddressRange> r = AddressRange::Parse(range);
        ASSERT_TRUE(r) << range;
        EXPECT_TRUE(r->Contains(A(inside))) << range << " " << inside;
        EXPECT_EQ(r->Contains(A(outside)), std::string(range) == "::/0") << range << " " << outside;
    }
    EXPECT_EQ(AddressRange::Parse("192.168.1.0/24")->ToString(), "192.168.1.0/24");
    EXPECT_EQ(AddressRange::Parse("fe80::1")->ToString(), "fe80::1/128");
    for (const char* bad : {"", "/", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/8x", "10.0.0/8", "10.0.0.256",
                            "host.example", "::1/129", "fe80::1%eth0", "10.0.0.0/0008", " 10.0.0.1", "1.2.3.4/24/8"})
        EXPECT_FALSE(AddressRange::Parse(bad)) << bad;
}

TEST(NetAddress, LocalRangesAreLoopbackPrivateAndLinkLocal) {
    for (const char* local : {"127.0.0.1", "127.255.0.9", "10.9.8.7", "172.16.0.1", "172.31.0.1", "192.168.0.1",
                              "169.254.3.4", "::1", "fc00::1", "fdff::1", "fe80::1", "febf::1"})
        EXPECT_TRUE(IsLocalRange(A(local))) << local;
    for (const char* far : {"8.8.8.8", "172.15.255.255", "172.32.0.0", "192.169.0.1", "169.255.0.1", "100.64.0.1",
                            "203.0.113.7", "2001:db8::1", "fec0::1", "::", "0.0.0.0", "255.255.255.255"})
        EXPECT_FALSE(IsLocalRange(A(far))) << far;
}

// The machine's own interfaces: every address on one is a local peer, and
// every broadcast address is a broadcast.
TEST(NetAddress, InterfaceSubnetsAndBroadcastsComeFromTheInterfaceTable) {
    LocalInterfaces interfaces;
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    int seen = 0;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        const std::optional<NetAddress> a = NetAddress::FromSockaddr(i->ifa_addr);
        if (!a)
            continue;
        ++seen;
        EXPECT_TRUE(interfaces.IsLocalPeer(*a)) << a->ToString();
        const std::optional<NetAddress> b = NetAddress::FromSockaddr(i->ifa_broadaddr);
        if ((i->ifa_flags & IFF_BROADCAST) && b) {
            EXPECT_TRUE(interfaces.IsBroadcast(*b)) << b->ToString();
        }
    }
    freeifaddrs(list);
    EXPECT_GT(seen, 0);
    for (const char* b : {"255.255.255.255", "224.0.0.1", "239.255.255.250", "ff02::1"})
        EXPECT_TRUE(interfaces.IsBroadcast(A(b))) << b;
    for (const char* u : {"127.0.0.1", "10.0.0.1", "fe80::1"})
        EXPECT_FALSE(interfaces.IsBroadcast(A(u))) << u;
}

TEST(NetAddress, AllowListsParseWithTheFirstBadEntryNamed) {
    struct Case {
        std::string text;
        int ranges;     // parsed, or -1 when refused
        int badEntry;
        std::string badText;
    };
    const Case cases[] = {
        {"", 0, 0, ""},
        {"192.168.1.0/24", 1, 0, ""},
        {"192.168.1.0/24 10.0.0.7,fd00::/8\t 127.0.0.1/8", 4, 0, ""},
        {" , ,", 0, 0, ""},
        {"10.0.0.0/8 nonsense 10.1.0.0/16", -1, 2, "nonsense"},
        {"10.0.0.0/8,10.0.0.0/40", -1, 2, "10.0.0.0/40"},
        {"*", -1, 1, "*"},
    };
    for (const Case& c : cases) {
        std::vector<AddressRange> ranges;
        int bad = 0;
        std::string badText;
        const bool ok = ParseAllowList(c.text, ranges, bad, badText);
        EXPECT_EQ(ok, c.ranges >= 0) << c.text;
        if (ok) {
            EXPECT_EQ(int(ranges.size()), c.ranges) << c.text;
        } else {
            EXPECT_EQ(bad, c.badEntry) << c.text;
            EXPECT_EQ(badText, c.badText) << c.text;
        }
    }
    const AllowList lan({*AddressRange::Parse("192.168.1.0/24"), *AddressRange::Parse("10.0.0.7")});
    EXPECT_TRUE(AllowList().Allows(A("203.0.113.1"))) << "an empty list allows everyone";
    for (const auto& [address, allowed] : {std::pair("192.168.1.50", true), {"10.0.0.7", true}, {"10.0.0.8", false}, {"127.0.0.1", false}})
        EXPECT_EQ(lan.Allows(A(address)), allowed) << address;
}

// Network addresses in a port variable: what opens a device server's port,
// and what is a port that cannot be opened.
#include <gtest/gtest.h>

#include "platform/network/NetworkAddress.h"
#include "platform/network/NetworkPort.h"

namespace {

using Protocol = NetworkAddress::Protocol;
using Family = NetworkAddress::Family;

}  // namespace

TEST(NetworkAddress, WellFormedAddresses) {
    struct Case {
        const char* text;
        NetworkAddress address;
    };
    const Case cases[] = {
        {"rfc2217://10.0.0.20:4001", {Protocol::Rfc2217, Family::IPv4, "10.0.0.20", 4001}},
        {"socket://127.0.0.1:1", {Protocol::Raw, Family::IPv4, "127.0.0.1", 1}},
        {"socket://192.168.1.5:65535", {Protocol::Raw, Family::IPv4, "192.168.1.5", 65535}},
        {"rfc2217://[::1]:4001", {Protocol::Rfc2217, Family::IPv6, "::1", 4001}},
        {"socket://[fe80::1:2aB]:02000", {Protocol::Raw, Family::IPv6, "fe80::1:2aB", 2000}},
        {"rfc2217://[::ffff:10.0.0.1]:23", {Protocol::Rfc2217, Family::IPv6, "::ffff:10.0.0.1", 23}},
        {"rfc2217://localhost:4001", {Protocol::Rfc2217, Family::IPv4, "127.0.0.1", 4001}},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(IsNetworkAddress(c.text)) << c.text;
        EXPECT_EQ(ParseNetworkAddress(c.text), c.address) << c.text;
    }
}

TEST(NetworkAddress, AddressesThatCannotBeOpened) {
    const char* const cases[] = {
        "rfc2217://10.0.0.20",         // no port
        "rfc2217://10.0.0.20:",        //
        "rfc2217://10.0.0.20:0",       // port 0
        "rfc2217://10.0.0.20:65536",   // over 65535
        "rfc2217://10.0.0.20:123456",  //
        "rfc2217://10.0.0.20:+80",     // not a plain decimal
        "rfc2217://10.0.0.20:80x",     // trailing junk
        "rfc2217://10.0.0.20:80/",     //
        "rfc2217://10.0.0.20:80:81",   //
        "rfc2217://:4001",             // no host
        "rfc2217://[]:4001",           //
        "rfc2217://[::1:4001",         // unclosed bracket
        "rfc2217://[::1]4001",         // no colon before the port
        "rfc2217://::1:4001",          // IPv6 without brackets
        "rfc2217://scale-gw:4001",     // a host name
        "rfc2217://[localhost]:4001",  //
        "telnet://10.0.0.20:23",       // unknown scheme
        "RFC2217://10.0.0.20:4001",    //
        "://10.0.0.20:4001",           //
        "rfc2217:/10.0.0.20:4001",     // not an address at all
    };
    for (const char* text : cases) EXPECT_EQ(ParseNetworkAddress(text), std::nullopt) << text;
}

TEST(NetworkAddress, DevicePathsAreNotAddresses) {
    for (const char* text : {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI:port0", "COM3", ""})
        EXPECT_FALSE(IsNetworkAddress(text)) << text;
}

// Addresses the parser lets through but no connection can use, and ones it
// refuses: opening fails at once, without a connect attempt to wait for.
TEST(NetworkAddress, PortsThatCannotBeOpenedFailAtOnce) {
    for (const char* text : {"rfc2217://10.0.0.256:4001", "socket://1.2.3:4001", "socket://[::g]:4001",
                             "rfc2217://[1:2:3:4:5:6:7:8:9]:4001", "rfc2217://10.0.0.20", "telnet://127.0.0.1:23"}) {
        OpenFailure failure;
        EXPECT_EQ(OpenNetworkPort(text, failure), nullptr) << text;
        EXPECT_EQ(failure.reason, OpenFailure::Reason::Other) << text;
        EXPECT_FALSE(failure.message.empty()) << text;
    }
}

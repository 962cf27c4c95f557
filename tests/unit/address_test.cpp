#include "launcher/address.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

own_address at(const char* ip, bool shown = true) {
    own_address one;
    one.ip = ip;
    one.v4 = std::string(ip).find(':') == std::string::npos;
    one.shown = shown;
    return one;
}

const std::vector<own_address> machine = {
    at("127.0.0.1", false), at("203.0.113.7"),  at("169.254.3.4"), at("::1", false),
    at("fe80::1"),          at("192.168.1.23"), at("10.8.0.2"),    at("192.168.1.23")};

TEST(IsOwn, KnowsTheComputersAddresses) {
    const struct {
        const char* ip;
        int own;
    } rows[] = {
        {"192.168.1.23", 1},    {"10.8.0.2", 1},    {"127.0.0.2", 1},
        {"0.0.0.0", 1},         {"::", 1},          {"::1", 1},
        {"fe80::1%eth0", 1},    {"FE80:0::1", 1},   {"192.0.2.1", 0},
        {"192.168.1.2", 0},     {"2001:db8::1", 0}, {"mc.example", -1},
        {"192.168.1.023x", -1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(is_own(row.ip, machine), row.own) << row.ip;
}

TEST(OwnAddresses, HoldTheLoopback) {
    bool loopback = false;
    for (const own_address& one : own_addresses()) {
        EXPECT_EQ(is_own(one.ip, {}), one.ip == "127.0.0.1" || one.ip == "::1" ? 1 : 0) << one.ip;
        if (one.ip == "127.0.0.1") loopback = !one.shown && one.v4;
    }
    EXPECT_TRUE(loopback);
}

} // namespace

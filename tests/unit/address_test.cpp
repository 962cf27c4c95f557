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

TEST(WhereToConnect, NamesTheAddressesFriendsUse) {
    const std::string forward = "局域网外的朋友需要路由器把端口 25570 转发到这台电脑";
    const struct {
        std::vector<own_address> addresses;
        const char* server_ip;
        const char* first;
        bool forwarding;
    } rows[] = {
        // The local network's first, each once, IPv4 only, no loopback.
        {machine, "",
         "朋友可以用以下地址连接服务器：192.168.1.23:25570、10.8.0.2:25570、203.0.113.7:25570、169."
         "254.3.4:25570\n",
         true},
        {machine, "0.0.0.0", "朋友可以用以下地址连接服务器：192.168.1.23:25570、", true},
        {machine, "10.8.0.2", "朋友可以用这个地址连接服务器：10.8.0.2:25570\n", true},
        {machine, "127.0.0.1",
         "server-ip 是 127.0.0.1，只有这台电脑上的程序可以连接服务器：127.0.0.1:25570\n", false},
        {machine, "::1", "server-ip 是 ::1，只有这台电脑上的程序可以连接服务器：[::1]:25570\n",
         false},
        // A tunnel's address is not shown.
        {{at("127.0.0.1", false), at("10.0.0.9", false)},
         "",
         "这台电脑没有连接到网络，只有这台电脑上的程序可以连接服务器：127.0.0.1:25570\n",
         false},
    };
    for (const auto& row : rows) {
        std::string said = where_to_connect(row.addresses, row.server_ip, 25570);
        EXPECT_EQ(said.find(row.first), 0u) << said;
        EXPECT_EQ(said.find(forward) != std::string::npos, row.forwarding) << said;
    }
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

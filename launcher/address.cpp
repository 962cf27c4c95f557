#include "address.h"

#include "util/text.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

namespace {

// The bytes of a numeric address, 4 or 16 of them; empty when ip is not one.
// A zone after "%" is left out.
std::string bytes_of(std::string ip) {
    ip = ip.substr(0, ip.find('%'));
    unsigned char buf[16];
    if (inet_pton(AF_INET, ip.c_str(), buf) == 1) return std::string(buf, buf + 4);
    if (inet_pton(AF_INET6, ip.c_str(), buf) == 1) return std::string(buf, buf + 16);
    return {};
}

// Where an IPv4 address is: 0 on a local network (10/8, 172.16/12,
// 192.168/16), 2 a link-local one that a system gives itself without a
// network, 1 anything else.
int reach(const std::string& bytes) {
    auto b0 = static_cast<unsigned char>(bytes[0]), b1 = static_cast<unsigned char>(bytes[1]);
    if (b0 == 10 || (b0 == 172 && b1 >= 16 && b1 < 32) || (b0 == 192 && b1 == 168)) return 0;
    return b0 == 169 && b1 == 254 ? 2 : 1;
}

bool loopback(const std::string& bytes) {
    if (bytes.size() == 4) return bytes[0] == 127;
    return bytes == std::string(15, '\0') + '\1';
}

// ip with the port, as a friend types it: an IPv6 address in brackets.
std::string with_port(const std::string& ip, int port) {
    bool six = ip.find(':') != std::string::npos;
    return (six ? "[" + ip + "]" : ip) + ":" + int_string(port);
}

std::string forwarding(int port) {
    return "局域网外的朋友需要路由器把端口 " + int_string(port) +
           " 转发到这台电脑（或这台电脑有公网地址）；同一局域网中的朋友不需要别的设置。\n";
}

} // namespace

int is_own(const std::string& ip, const std::vector<own_address>& addresses) {
    std::string bytes = bytes_of(ip);
    if (bytes.empty()) return -1;
    if (loopback(bytes) || bytes == std::string(bytes.size(), '\0')) return 1;
    for (const own_address& one : addresses)
        if (bytes_of(one.ip) == bytes) return 1;
    return 0;
}

std::string where_to_connect(const std::vector<own_address>& addresses,
                             const std::string& server_ip, int port) {
    std::string bytes = bytes_of(server_ip);
    bool every = !bytes.empty() && bytes == std::string(bytes.size(), '\0');
    if (!server_ip.empty() && !every) {
        if (!bytes.empty() && loopback(bytes))
            return "server-ip 是 " + server_ip + "，只有这台电脑上的程序可以连接服务器：" +
                   with_port(server_ip, port) + "\n";
        return "朋友可以用这个地址连接服务器：" + with_port(server_ip, port) + "\n" +
               forwarding(port);
    }
    std::vector<std::pair<int, std::string>> found;
    for (const own_address& one : addresses) {
        std::string own = bytes_of(one.ip);
        if (one.v4 && one.shown && own.size() == 4 && !loopback(own))
            found.emplace_back(reach(own), one.ip);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (found.empty())
        return "这台电脑没有连接到网络，只有这台电脑上的程序可以连接服务器：" +
               with_port("127.0.0.1", port) + "\n";
    std::string list;
    for (const auto& one : found)
        if (list.find(with_port(one.second, port)) == std::string::npos)
            list += (list.empty() ? "" : "、") + with_port(one.second, port);
    return "朋友可以用以下地址连接服务器：" + list + "\n" + forwarding(port);
}

#include "address.h"

#include <string>

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

bool loopback(const std::string& bytes) {
    if (bytes.size() == 4) return bytes[0] == 127;
    return bytes == std::string(15, '\0') + '\1';
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

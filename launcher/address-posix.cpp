#include "address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

std::vector<own_address> own_addresses() {
    std::vector<own_address> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (const ifaddrs* one = list; one; one = one->ifa_next) {
        if (!one->ifa_addr || !(one->ifa_flags & IFF_UP)) continue;
        int family = one->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        char text[INET6_ADDRSTRLEN] = "";
        const void* at =
            family == AF_INET
                ? static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in*>(one->ifa_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in6*>(one->ifa_addr)->sin6_addr);
        if (!inet_ntop(family, at, text, sizeof text)) continue;
        own_address address;
        address.ip = text;
        address.v4 = family == AF_INET;
        address.shown = !(one->ifa_flags & IFF_LOOPBACK);
        found.push_back(address);
    }
    freeifaddrs(list);
    return found;
}

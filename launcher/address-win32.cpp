#include "address.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <memory>
#include <windows.h>

std::vector<own_address> own_addresses() {
    std::vector<own_address> found;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::unique_ptr<char[]> buf;
    ULONG got = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the calls.
    for (int tries = 0; tries < 3 && got == ERROR_BUFFER_OVERFLOW; ++tries) {
        buf.reset(new char[size]);
        got = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.get()), &size);
    }
    if (got != NO_ERROR) return found;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.get()); adapter;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        bool shown =
            adapter->IfType != IF_TYPE_SOFTWARE_LOOPBACK && adapter->IfType != IF_TYPE_TUNNEL;
        for (auto* one = adapter->FirstUnicastAddress; one; one = one->Next) {
            const sockaddr* at = one->Address.lpSockaddr;
            if (!at || (at->sa_family != AF_INET && at->sa_family != AF_INET6)) continue;
            char text[INET6_ADDRSTRLEN] = "";
            const void* bytes =
                at->sa_family == AF_INET
                    ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(at)->sin_addr)
                    : static_cast<const void*>(
                          &reinterpret_cast<const sockaddr_in6*>(at)->sin6_addr);
            if (!inet_ntop(at->sa_family, bytes, text, sizeof text)) continue;
            own_address address;
            address.ip = text;
            address.v4 = at->sa_family == AF_INET;
            address.shown = shown;
            found.push_back(address);
        }
    }
    return found;
}

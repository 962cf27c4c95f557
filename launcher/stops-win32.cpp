#include "stops.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <memory>
#include <windows.h>

namespace {

// Winsock, for as long as the object lives.
struct winsock {
    bool up;
    winsock() {
        WSADATA data;
        up = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~winsock() {
        if (up) WSACleanup();
    }
};

// The process owning a listening socket on the port in the table of one
// address family, 0 when there is none.
template <class Table> DWORD listening_pid(ULONG family, int port) {
    ULONG size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
    for (int tries = 0; tries < 3 && size > 0; ++tries) {
        std::unique_ptr<char[]> buf(new char[size]);
        DWORD got =
            GetExtendedTcpTable(buf.get(), &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (got == ERROR_INSUFFICIENT_BUFFER) continue;
        if (got != NO_ERROR) return 0;
        auto* table = reinterpret_cast<Table*>(buf.get());
        for (DWORD i = 0; i < table->dwNumEntries; ++i)
            if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port)
                return table->table[i].dwOwningPid;
        return 0;
    }
    return 0;
}

// The file name of the process's program, in GBK; empty when it cannot be
// read.
std::string image_name(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return {};
    wchar_t path[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    BOOL read = QueryFullProcessImageNameW(process, 0, path, &length);
    CloseHandle(process);
    if (!read) return {};
    std::wstring name(path, length);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    char out[MAX_PATH * 2];
    int n = WideCharToMultiByte(936, 0, name.c_str(), static_cast<int>(name.size()), out,
                                sizeof out, nullptr, nullptr);
    return n > 0 ? std::string(out, static_cast<size_t>(n)) : std::string();
}

} // namespace

int port_free(const std::string& ip, int port) {
    winsock ws;
    if (!ws.up) return -1;
    sockaddr_in6 six{};
    sockaddr_in four{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(static_cast<u_short>(port));
    four.sin_family = AF_INET;
    four.sin_port = htons(static_cast<u_short>(port));
    bool v4 = !ip.empty() && inet_pton(AF_INET, ip.c_str(), &four.sin_addr) == 1;
    if (!ip.empty() && !v4 && inet_pton(AF_INET6, ip.c_str(), &six.sin6_addr) != 1) return -1;
    // Every address, as Java listens: IPv6 and IPv4 on one socket, IPv4 alone
    // where the system has no IPv6.
    SOCKET s = v4 ? INVALID_SOCKET : socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET && ip.empty()) v4 = true;
    if (v4) s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    DWORD off = 0;
    if (!v4)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    int done = v4 ? bind(s, reinterpret_cast<sockaddr*>(&four), sizeof four)
                  : bind(s, reinterpret_cast<sockaddr*>(&six), sizeof six);
    if (done == 0) done = listen(s, 1);
    int err = WSAGetLastError();
    closesocket(s);
    if (done == 0) return 1;
    // WSAEACCES: a program holds the port for itself alone.
    return err == WSAEADDRINUSE || err == WSAEACCES ? 0 : -1;
}

port_holder holder_of(int port) {
    port_holder holder;
    holder.pid = static_cast<long>(listening_pid<MIB_TCPTABLE_OWNER_PID>(AF_INET, port));
    if (holder.pid == 0)
        holder.pid = static_cast<long>(listening_pid<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, port));
    if (holder.pid == 0) return holder;
    holder.name = image_name(static_cast<DWORD>(holder.pid));
    // Windows does not tell another process's current folder: a Java is
    // likely the server, not surely.
    std::string lower = holder.name;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    holder.maybe = lower == "java.exe" || lower == "javaw.exe";
    return holder;
}

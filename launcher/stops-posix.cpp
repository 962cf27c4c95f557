#include "stops.h"

#include "util/files.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The target of the link at path, empty when it cannot be read.
std::string link_target(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The inodes of the sockets listening on the port, IPv4 and IPv6.
std::vector<unsigned long> listeners(int port) {
    std::vector<unsigned long> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the heading
        while (std::getline(in, line)) {
            unsigned local = 0, state = 0;
            unsigned long inode = 0;
            // sl, local address:port, remote, state, queues, timer,
            // retransmits, uid, timeout, inode.
            if (std::sscanf(line.c_str(), "%*s %*[0-9A-Fa-f]:%x %*s %x %*s %*s %*s %*u %*u %lu",
                            &local, &state, &inode) == 3 &&
                static_cast<int>(local) == port && state == 0x0A && inode != 0)
                inodes.push_back(inode);
        }
    }
    return inodes;
}

bool digits(const char* name) {
    if (!*name) return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9') return false;
    return true;
}

// The process that holds one of the sockets among its descriptors, 0 when
// none we may look into does.
long owner(const std::vector<unsigned long>& inodes) {
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return 0;
    while (const dirent* process = readdir(proc.get())) {
        if (!digits(process->d_name)) continue;
        std::string fds = std::string("/proc/") + process->d_name + "/fd";
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(fds.c_str()), closedir);
        if (!dir) continue;
        while (const dirent* fd = readdir(dir.get())) {
            if (!digits(fd->d_name)) continue;
            std::string target = link_target(fds + "/" + fd->d_name);
            for (unsigned long inode : inodes)
                if (target == "socket:[" + std::to_string(inode) + "]")
                    return std::strtol(process->d_name, nullptr, 10);
        }
    }
    return 0;
}

} // namespace

int port_free(const std::string& ip, int port) {
    sockaddr_in6 six{};
    sockaddr_in four{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(static_cast<uint16_t>(port));
    four.sin_family = AF_INET;
    four.sin_port = htons(static_cast<uint16_t>(port));
    bool v4 = !ip.empty() && inet_pton(AF_INET, ip.c_str(), &four.sin_addr) == 1;
    if (!ip.empty() && !v4 && inet_pton(AF_INET6, ip.c_str(), &six.sin6_addr) != 1)
        return -1; // a host name: the server looks it up, we do not
    // Every address, as Java listens: IPv6 and IPv4 on one socket, IPv4 alone
    // where the system has no IPv6.
    int fd = v4 ? -1 : socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 && ip.empty()) v4 = true;
    if (v4) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1, off = 0;
    // Java's listening sockets reuse addresses: connections still closing do
    // not keep the port from them.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!v4) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    int done = v4 ? bind(fd, reinterpret_cast<sockaddr*>(&four), sizeof four)
                  : bind(fd, reinterpret_cast<sockaddr*>(&six), sizeof six);
    if (done == 0) done = listen(fd, 1);
    int err = errno;
    close(fd);
    if (done == 0) return 1;
    return err == EADDRINUSE ? 0 : -1;
}

port_holder holder_of(int port) {
    port_holder holder;
    std::vector<unsigned long> inodes = listeners(port);
    if (inodes.empty() || (holder.pid = owner(inodes)) == 0) return holder;
    std::string proc = "/proc/" + std::to_string(holder.pid);
    std::ifstream comm(proc + "/comm");
    std::getline(comm, holder.name);
    // Our server is a Java running in its folder, the current one here.
    holder.same = holder.name == "java" && link_target(proc + "/cwd") == get_cd();
    return holder;
}

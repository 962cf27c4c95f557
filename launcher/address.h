#pragma once

// This computer's own network addresses: where friends reach the server, and
// whether the server's server-ip is one of them. Nothing is sent anywhere;
// the system's list of its interfaces is read.

#include <string>
#include <vector>

// One address of an interface of this computer that is up.
struct own_address {
    // Numeric, as the system writes it, without a zone.
    std::string ip;
    // True for an IPv4 address.
    bool v4 = false;
    // True when others may reach it: not a loopback interface's, nor (on
    // Windows) a tunnel's.
    bool shown = false;
};

// The addresses of this computer's interfaces that are up, in the system's
// order (address-posix.cpp: getifaddrs; address-win32.cpp:
// GetAdaptersAddresses).
std::vector<own_address> own_addresses();

// Whether a server could listen on ip, numeric: 1 when it is one of
// addresses, a loopback address or every address (0.0.0.0, ::), 0 when it is
// none of them, -1 when it is not a numeric address (a host name, which the
// server looks up).
int is_own(const std::string& ip, const std::vector<own_address>& addresses);

// The lines that tell where friends connect to a server on port: each shown
// IPv4 address of addresses with the port, the local network's first, or
// only server_ip when it is set (a loopback one reachable from this computer
// alone), and what those outside the local network need.
std::string where_to_connect(const std::vector<own_address>& addresses,
                             const std::string& server_ip, int port);

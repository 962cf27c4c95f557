#pragma once

// This computer's own network addresses: whether the server's server-ip is
// one of them. Nothing is sent anywhere;
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

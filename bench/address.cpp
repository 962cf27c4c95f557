// The time the check before a start adds for server-ip: reading this
// computer's addresses and comparing the setting with them, as may_start()
// does, timed over many calls.
//
//     build/release/vellomar-address-check [IP]     (default 203.0.113.250)

#include "launcher/address.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::string ip = argc > 1 ? argv[1] : "203.0.113.250";
    const int runs = 1000;
    std::vector<double> took;
    int own = 0;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        own = is_own(ip, own_addresses());
        took.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(took.begin(), took.end());
    std::printf("server-ip %s: %s; %zu addresses; median %.1f us, slowest %.1f us (%d calls)\n",
                ip.c_str(),
                own == 1   ? "this computer's"
                : own == 0 ? "not this computer's"
                           : "a name",
                own_addresses().size(), took[runs / 2], took.back(), runs);
}

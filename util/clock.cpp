#include "dialogs.h"

#include <ctime>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// The current time broken down to local time; every call reads the clock anew.
std::tm now() {
    std::tm fields{};
#ifdef _WIN32
    // time_t is 64 bits wide here, so localtime takes what _time64 gives.
    std::time_t t = _time64(nullptr);
    if (const std::tm* local = std::localtime(&t)) fields = *local;
#else
    std::time_t t = std::time(nullptr);
    localtime_r(&t, &fields);
#endif
    return fields;
}

} // namespace

int year() {
    return now().tm_year + 1900;
}

int month() {
    return now().tm_mon + 1;
}

int day() {
    return now().tm_mday;
}

int hour() {
    return now().tm_hour;
}

int minute() {
    return now().tm_min;
}

int second() {
    return now().tm_sec;
}

long long steady_ms() {
#ifdef _WIN32
    return static_cast<long long>(GetTickCount64());
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

#pragma once

#include <ifaddrs.h>

#include <cstring>

namespace tarnwick::testing {

// Whether this process sees no network interface but loopback, as inside the network namespace
// that tests/support/run-offline.sh and tests/device/run-on-loopback.sh make.
inline bool onlyLoopback() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return false;
    }
    bool loopbackOnly = true;
    for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        loopbackOnly = loopbackOnly && std::strcmp(entry->ifa_name, "lo") == 0;
    }
    freeifaddrs(interfaces);
    return loopbackOnly;
}

} // namespace tarnwick::testing

#include "link/AdmissionQuota.h"

#include <map>
#include <optional>
#include <tuple>

namespace tarnwick {

namespace {

struct AddressOrder {
    bool operator()(const QHostAddress& a, const QHostAddress& b) const {
        return a.toString() < b.toString();
    }
};

} // namespace

AdmissionQuota::Decision AdmissionQuota::judge(const std::vector<Place>& places,
                                               const QHostAddress& newcomer) const {
    std::map<QHostAddress, int, AddressOrder> held;
    for (const auto& place : places) {
        ++held[place.address];
    }
    const int own = held.contains(newcomer) ? held[newcomer] : 0;
    const bool addressFull = own >= perAddress_;
    if (!addressFull && static_cast<int>(places.size()) < total_) {
        return {};
    }
    // Least valuable first: from the crowded address (the newcomer's own when it holds its
    // share, else the one that holds the most), then lowest worth, then oldest.
    std::optional<std::size_t> chosen;
    std::tuple<int, int, std::uint64_t> best{};
    for (std::size_t i = 0; i < places.size(); ++i) {
        const auto& place = places[i];
        if (!place.yields || (addressFull && !(place.address == newcomer))) {
            continue;
        }
        const std::tuple<int, int, std::uint64_t> rank{-held[place.address], place.worth,
                                                       place.serial};
        if (!chosen || rank < best) {
            chosen = i;
            best = rank;
        }
    }
    if (!chosen) {
        return {Verdict::refuse, 0};
    }
    return {Verdict::displace, *chosen};
}

QHostAddress admissionAddress(const QHostAddress& address) {
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4) : address;
}

} // namespace tarnwick

#pragma once

#include <QHostAddress>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

// Who gets one of a limited number of places (connections in their handshake, sessions not yet
// authorised) when a newcomer arrives. Places are counted per remote address and in total, so
// that one address cannot take them all and lock paired devices out.
//
// When the newcomer's address already holds its share, that address gives up its own least
// valuable place; when all places are taken, the address holding the most gives one up. A place
// that is squatted is worth less than one that is busy, and among equals the oldest goes first:
// connections that sit and do nothing lose their place to ones that are new. The newcomer is
// refused only when no place may be given up.
class AdmissionQuota {
public:
    struct Place {
        QHostAddress address;     // as given by admissionAddress
        int worth = 0;            // lower gives up its place first
        std::uint64_t serial = 0; // order of arrival: lower is older
        bool yields = true;       // may be given up for a newcomer
    };

    enum class Verdict { admit, displace, refuse };
    struct Decision {
        Verdict verdict = Verdict::admit;
        std::size_t place = 0; // with displace: the index of the place to end first
    };

    AdmissionQuota(int perAddress, int total) : perAddress_(perAddress), total_(total) {}

    Decision judge(const std::vector<Place>& places, const QHostAddress& newcomer) const;

private:
    int perAddress_;
    int total_;
};

// The address by which connections are counted: IPv4 addresses mapped into IPv6 count as IPv4.
QHostAddress admissionAddress(const QHostAddress& address);

} // namespace tarnwick

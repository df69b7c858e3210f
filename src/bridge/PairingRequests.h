#pragma once

#include "bridge/PairingRequest.h"

#include <QObject>

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnwick {

// The pairing requests waiting for the person, in the order they were made. Each is bound to
// its connection and leaves only through it (the connection ended, was refused, paired or
// started another attempt) or by the person's decision; never because another connection gave
// the same name. Main thread only.
class PairingRequests : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Gives `request` the next serial and adds it, in place of any earlier request of its
    // connection (whose code no longer holds).
    void add(PairingRequest request);
    // Removes the request of this connection, if any; says whether there was one.
    bool removeFor(const PeerHandle& peer);
    bool remove(std::uint64_t serial);

    // The waiting request with this serial and this code: a decision made on what the person
    // saw acts on that request or on none.
    const PairingRequest* find(std::uint64_t serial, std::string_view code) const;
    const std::vector<PairingRequest>& all() const { return requests_; }

signals:
    void changed();

private:
    std::vector<PairingRequest> requests_;
    std::uint64_t nextSerial_ = 1;
};

} // namespace tarnwick

#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace tarnwick {

// How many six-digit pairing attempts may start within a minute, per remote address and in
// all. An attempt shows its code to the device before the device has to reveal its nonce, so
// each one is a chance at a code of the device's liking: this bounds the chances, and with
// them a relay's odds of making both screens show the same code. It remembers at most `total`
// attempts. Main thread only.
class PairingAttemptLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int defaultPerAddress = 10;
    static constexpr int defaultTotal = 20;
    static constexpr auto defaultWindow = std::chrono::seconds(60);

    PairingAttemptLimit(int perAddress = defaultPerAddress, int total = defaultTotal,
                        Clock::duration window = defaultWindow)
        : perAddress_(perAddress), total_(total), window_(window) {}

    // Counts an attempt from `address` at `now` when neither limit is reached; otherwise
    // counts nothing and returns false.
    [[nodiscard]] bool admit(std::string_view address, Clock::time_point now = Clock::now());

private:
    struct Attempt {
        Clock::time_point at;
        std::string address;
    };
    int perAddress_;
    int total_;
    Clock::duration window_;
    std::deque<Attempt> recent_; // oldest first, within the window
};

} // namespace tarnwick

#pragma once

#include <string_view>
#include <vector>

namespace tavelin {

// Limits guessing of the four-digit pairing code: after five wrong codes within one
// minute every attempt, even the right code, is refused until the oldest of them is a
// minute old.
class PairingGate {
public:
    enum class Result { accepted, incorrect, rateLimited };

    static constexpr double window = 60.0;          // seconds
    static constexpr std::size_t maximumFailures = 5;
    static constexpr std::size_t codeLength = 4;    // user-perceived characters

    // `now` is in seconds since 1970. A refused attempt while rate limited is not
    // recorded, so it cannot extend the lock.
    Result check(std::string_view code, std::string_view expected, double now);

    // Moments of the wrong codes, oldest first.
    const std::vector<double>& failures() const { return failures_; }

    friend bool operator==(const PairingGate&, const PairingGate&) = default;

private:
    std::vector<double> failures_;
};

} // namespace tavelin

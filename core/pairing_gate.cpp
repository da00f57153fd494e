#include "core/pairing_gate.hpp"

#include <algorithm>

#include "core/same_secret.hpp"
#include "core/unicode_text.hpp"

namespace tavelin {

PairingGate::Result PairingGate::check(std::string_view code, std::string_view expected, double now) {
    std::erase_if(failures_, [now](double moment) { return now - moment >= window; });
    if (failures_.size() >= maximumFailures) return Result::rateLimited;
    if (unicode::graphemeCount(code) == codeLength && !expected.empty() && sameSecret(code, expected)) {
        return Result::accepted;
    }
    failures_.push_back(now);
    return Result::incorrect;
}

} // namespace tavelin

#include "core/same_secret.hpp"

#include <cstddef>

namespace tavelin {

// Kept out of line so that a caller's optimizer cannot turn the loop into an early exit.
bool sameSecret(std::string_view presented, std::string_view expected) {
    if (presented.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < presented.size(); ++i) {
        difference |= static_cast<unsigned char>(presented[i] ^ expected[i]);
    }
    return difference == 0;
}

} // namespace tavelin

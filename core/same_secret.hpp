#pragma once

#include <string_view>

namespace tavelin {

// Whether a presented secret (access token, pairing code) equals the expected one. It
// reads every byte without an early exit, so the time taken does not reveal how much of
// a guess was right; only the length, which is fixed for each secret, shows.
bool sameSecret(std::string_view presented, std::string_view expected);

} // namespace tavelin

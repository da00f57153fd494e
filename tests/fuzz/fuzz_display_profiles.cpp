#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/display_profile.hpp"
#include "fuzz_check.hpp"

// Whatever the decoder accepts must be writable again and read back unchanged;
// otherwise saving a list that was just loaded would alter or drop profiles.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(bytes), size);
    const auto profiles = tavelin::decodeDisplayProfiles(json);
    if (!profiles) return 0;

    const auto encoded = tavelin::encodeDisplayProfiles(*profiles);
    FUZZ_REQUIRE(encoded);
    const auto decoded = tavelin::decodeDisplayProfiles(*encoded);
    FUZZ_REQUIRE(decoded && *decoded == *profiles);
    FUZZ_REQUIRE(tavelin::encodeDisplayProfiles(*decoded) == encoded);
    return 0;
}

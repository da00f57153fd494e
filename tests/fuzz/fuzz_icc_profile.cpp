#include <cctype>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "platform/linux/icc_profiles.hpp"

// A colour profile as it reaches us: an ICC file from the colour folders or a display
// server's _ICC_PROFILE property, read for its class, its description and its
// calibration curves. lcms2 itself is Debian's build, not instrumented: the fuzzer
// steers by our code and catches lcms2's crashes, not its silent overreads.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    static_cast<void>(tavelin::isDisplayProfile(bytes));

    // The description is a menu entry: one line of text without NULs or trailing blanks.
    const std::string description = tavelin::profileDescription(bytes);
    FUZZ_REQUIRE(description.find('\0') == std::string::npos);
    FUZZ_REQUIRE(description.empty() || !std::isspace(static_cast<unsigned char>(description.back())));

    // Gamma sizes of real CRTCs, and the smallest one the reader accepts.
    for (const std::size_t rampSize : {std::size_t{2}, std::size_t{256}}) {
        const auto ramps = tavelin::calibrationRamps(bytes, rampSize);
        if (!ramps) continue;
        for (const auto& ramp : *ramps) FUZZ_REQUIRE(ramp.size() == rampSize);
    }
    FUZZ_REQUIRE(!tavelin::calibrationRamps(bytes, 1));
    return 0;
}

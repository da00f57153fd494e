#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/offer_candidates.hpp"
#include "video_choice_check.hpp"

// The receiver's SDP offer as the codec choice reads it, before GStreamer sees it, and
// as GStreamer gets it: the offer's own lines in their order, only candidates left out,
// and the same video chosen from it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view sdp(reinterpret_cast<const char*>(bytes), size);
    const auto firstLine = [](std::string_view text) {
        const auto end = text.find('\n');
        return text.substr(0, end == std::string_view::npos ? end : end + 1);
    };
    tavelin::fuzz::checkVideoChoice(sdp);
    const std::string kept = tavelin::withoutNamedCandidates(sdp);
    std::string_view rest = kept;
    for (std::string_view offer = sdp; !offer.empty();) {
        const auto line = firstLine(offer);
        offer.remove_prefix(line.size());
        if (!rest.empty() && firstLine(rest) == line) {
            rest.remove_prefix(line.size());
        } else {
            FUZZ_REQUIRE(line.starts_with("a=candidate:"));
        }
    }
    FUZZ_REQUIRE(rest.empty());
    FUZZ_REQUIRE(tavelin::chooseVideo(kept) == tavelin::chooseVideo(sdp));
    return 0;
}

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <tuple>

#include "core/offer_codecs.hpp"

namespace tavelin {
namespace {

// The playout-delay extension is answered only under an id the offer gives for the chosen
// video, in a one-byte header, and in a direction the offerer receives.
TEST(OfferCodecs, PlayoutDelayExtensionOfTheChosenVideo) {
    const std::string uri = " http://www.webrtc.org/experiments/rtp-hdrext/playout-delay\r\n";
    const std::string vp8 = "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 VP8/90000\r\n";
    for (const auto& [what, offer, id] : std::initializer_list<std::tuple<const char*, std::string, int>>{
             {"in the video section, as Chromium offers it", vp8 + "a=extmap:5" + uri, 5},
             {"on the session, for every section", "a=extmap:3/sendrecv" + uri + vp8, 3},
             {"only sent by the offerer", vp8 + "a=extmap:5/sendonly" + uri, 0},
             {"an id that needs two-byte headers", vp8 + "a=extmap:15" + uri, 0},
             {"another extension", vp8 + "a=extmap:5 urn:3gpp:video-orientation\r\n", 0},
             // Ids are per section: the audio's and a rejected video's are not ours.
             {"in another section", "m=audio 9 RTP/SAVPF 111\r\na=extmap:4" + uri + vp8, 0},
             {"of a video section not chosen",
              vp8 + "a=extmap:8" + uri + "m=video 9 RTP/SAVPF 97\r\na=rtpmap:97 AV1/90000\r\na=extmap:7" + uri, 8}}) {
        const auto choice = chooseVideo("v=0\r\n" + offer);
        ASSERT_TRUE(choice) << what;
        EXPECT_EQ(choice->playoutDelayExtension, id) << what;
    }
}

} // namespace
} // namespace tavelin

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/offer_codecs.hpp"

namespace tavelin {
namespace {

constexpr const char* offerHead = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";

TEST(ChooseH264, PicksTheConstrainedBaselinePayload) {
    struct Case {
        const char* what;
        const char* media;
        std::optional<int> expected;
    };
    for (const auto& c : {
             // Chromium lists baseline 42001f before constrained baseline, and constrained
             // baseline in mode 0 before mode 1; 42e0 in mode 1 must win.
             Case{"Chromium order prefers 42e0 over 4200",
                  "m=video 9 UDP/TLS/RTP/SAVPF 96 97 102 104 106 127\r\n"
                  "a=rtpmap:96 VP8/90000\r\na=rtpmap:97 rtx/90000\r\na=fmtp:97 apt=96\r\n"
                  "a=rtpmap:102 H264/90000\r\na=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;"
                  "profile-level-id=42001f\r\n"
                  "a=rtpmap:104 H264/90000\r\na=fmtp:104 level-asymmetry-allowed=1;packetization-mode=0;"
                  "profile-level-id=42e01f\r\n"
                  "a=rtpmap:106 H264/90000\r\na=fmtp:106 level-asymmetry-allowed=1;packetization-mode=1;"
                  "profile-level-id=42e01f\r\n"
                  "a=rtpmap:127 H264/90000\r\na=fmtp:127 packetization-mode=1;profile-level-id=4d001f\r\n",
                  106},
             // High and main profiles listed first are passed over.
             Case{"any baseline when no constrained one",
                  "m=video 9 UDP/TLS/RTP/SAVPF 98 99 100\r\na=rtpmap:98 H264/90000\r\n"
                  "a=fmtp:98 profile-level-id=640c1f;packetization-mode=1\r\na=rtpmap:99 H264/90000\r\n"
                  "a=fmtp:99 packetization-mode=1;profile-level-id=4d001f\r\n"
                  "a=rtpmap:100 H264/90000\r\na=fmtp:100 profile-level-id=42001f;packetization-mode=1\r\n",
                  100},
             // Names and hex digits in other case still count.
             Case{"case of name and profile",
                  "m=video 9 RTP/SAVPF 120\r\na=rtpmap:120 h264/90000\r\n"
                  "a=fmtp:120 packetization-mode=1;profile-level-id=42E01F\r\n",
                  120},
             Case{"no packetization mode means mode 0",
                  "m=video 9 RTP/SAVPF 104\r\na=rtpmap:104 H264/90000\r\na=fmtp:104 profile-level-id=42e01f\r\n",
                  std::nullopt},
             // An H.264 line outside the video section is not video we can send.
             Case{"VP8 video and H.264 in another section",
                  "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 VP8/90000\r\nm=audio 9 RTP/SAVPF 102\r\n"
                  "a=rtpmap:102 H264/90000\r\na=fmtp:102 packetization-mode=1;profile-level-id=42e01f\r\n",
                  std::nullopt}}) {
        const auto choice = chooseVideo(std::string(offerHead) + c.media);
        EXPECT_EQ(choice ? std::optional(choice->payloadType) : std::nullopt, c.expected) << c.what;
    }
}

} // namespace
} // namespace tavelin

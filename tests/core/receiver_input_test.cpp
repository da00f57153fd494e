#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <span>
#include <tuple>
#include <utility>

#include "core/http_request.hpp"
#include "core/mouse_packet.hpp"
#include "core/offer_candidates.hpp"
#include "core/offer_codecs.hpp"
#include "core/pairing_gate.hpp"

namespace tavelin {
namespace {

// What parse made of a buffer: "need more", "tooLarge", "malformed" or "request <path>".
std::string outcome(std::string_view data) {
    try {
        const auto request = HTTPRequest::parse(data);
        return request ? "request " + request->path : "need more";
    } catch (const HTTPRequest::ParseError& error) {
        return error.kind() == HTTPRequest::ParseError::Kind::tooLarge ? "tooLarge" : "malformed";
    }
}

// A header block padded with an "x-pad" header so that its blank line begins at `offset`.
std::string headerEndingAt(std::size_t offset, std::string extra = "") {
    std::string head = "GET / HTTP/1.1\r\nHost: a\r\n" + extra + "X-Pad: ";
    head += std::string(offset - head.size(), 'p');
    return head + "\r\n\r\n";
}

std::string post(std::string_view headers, std::string_view rest = "") {
    return "POST / HTTP/1.1\r\nHost: a\r\n" + std::string(headers) + "\r\n\r\n" + std::string(rest);
}

TEST(HTTPRequest, Outcome) {
    using Case = std::tuple<const char*, std::string, const char*>;
    for (const auto& [what, data, expected] : std::initializer_list<Case>{
             {"extra spaces in request line", "  GET   /x   HTTP/1.1  \r\nHost: a\r\n\r\n", "request /x"},
             {"no host", "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", "malformed"},
             {"HTTP/1.0", "GET / HTTP/1.0\r\nHost: a\r\n\r\n", "malformed"},
             {"version case", "GET / http/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"absolute target", "GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"four pieces", "GET / x HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"tab is no separator", "GET\t/ HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"header without colon", "GET / HTTP/1.1\r\nHost: a\r\nBroken\r\n\r\n", "malformed"},
             {"duplicate host in capitals", "GET / HTTP/1.1\r\nHost: a\r\nHOST: a\r\n\r\n", "malformed"},
             // Duplicates are found after full lower-casing; a final capital sigma is no exception.
             {"duplicate non-ASCII name", post("X-\xC3\x84: 1\r\nx-\xC3\xA4: 2"), "malformed"},
             {"duplicate final sigma", post("X\xCE\xA3: 1\r\nx\xCF\x83: 2"), "malformed"},
             {"chunked", post("Transfer-Encoding: chunked"), "malformed"},
             {"empty transfer-encoding", post("Transfer-Encoding:"), "malformed"},
             {"header bytes not UTF-8", "GET / HTTP/1.1\r\nHost: \xC0\xAF\r\n\r\n", "malformed"},
             // The body is not decoded: any bytes pass.
             {"binary body", post("Content-Length: 2", std::string("\xFF\x00", 2)), "request /"},
             {"length with leading zeros", post("Content-Length: 0005", "hello"), "request /"},
             {"length plus", post("Content-Length: +5", "hello"), "malformed"},
             {"length inner space", post("Content-Length: 1 0", "hello"), "malformed"},
             {"length empty", post("Content-Length:  "), "malformed"},
             {"length Arabic-Indic digit", post("Content-Length: \xD9\xA5"), "malformed"},
             {"length overflows 64 bits", post("Content-Length: 9223372036854775808"), "malformed"},
             // Wraps to 5 in unsigned 64-bit arithmetic; must not be read as 5.
             {"length wraps 64 bits", post("Content-Length: 18446744073709551621", "hello"), "malformed"},
             // Bare LF line endings never make a blank line; the block limit ends them.
             {"bare LF", "GET / HTTP/1.1\nHost: a\n\n", "need more"},
             {"16385 bytes, no blank line", std::string(16385, 'a'), "tooLarge"},
             {"blank line at 16385", headerEndingAt(16385), "malformed"},
             // Past the limit, a partial blank line that begins too late is still too large.
             {"partial blank line at 16385", headerEndingAt(16385).substr(0, 16387), "tooLarge"},
             // Even a complete request is refused in a buffer over 1 MiB.
             {"over 1 MiB", headerEndingAt(100) + std::string(HTTPRequest::maximumSize, 'b'), "tooLarge"}}) {
        EXPECT_EQ(outcome(data), expected) << what;
    }
}

TEST(HTTPRequest, FieldsOfACompleteRequest) {
    const auto request = HTTPRequest::parse(
        "POST /api/pair HTTP/1.1\r\nHost: 192.168.1.20:8420\r\nX-Empty:\r\nContent-Type :\t application/json \t\r\n"
        ": nameless\r\nX-\xC3\x84: \xE3\x80\x80v\xE3\x80\x80\r\nContent-Length: 5\r\n\r\nhello, extra bytes");
    ASSERT_TRUE(request);
    EXPECT_EQ(std::tuple(request->method, request->path, request->body), std::tuple("POST", "/api/pair", "hello"));
    const std::map<std::string, std::string> headers{
        {"host", "192.168.1.20:8420"},          // later colons belong to the value
        {"content-type ", "application/json"},  // a space before the colon stays in the name
        {"x-\xC3\xA4", "v"},                    // lower-cased fully; U+3000 trimmed like a space
        {"x-empty", ""}, {"", "nameless"}, {"content-length", "5"}};
    EXPECT_EQ(request->headers, headers);
}

// A request whose blank line begins exactly at the header limit: its prefixes of 16385 to
// 16387 bytes end in a partial blank line and must wait, or acceptance would depend on how
// the network split the bytes. (The browser load test trickles ordinary requests.)
TEST(HTTPRequest, EveryPrefixOfAnAcceptedRequestNeedsMore) {
    const auto whole = headerEndingAt(16384, "Content-Length: 2\r\n") + "ok";
    for (std::size_t size = 0; size < whole.size(); ++size) ASSERT_EQ(outcome(whole.substr(0, size)), "need more") << size;
    EXPECT_EQ(outcome(whole), "request /");
}

TEST(HTTPRequest, TotalSizeLimitCountsHeaderAndBody) {
    // Both totals give a Content-Length of seven digits.
    const auto head = [](std::size_t total) {
        const auto length = total - post("Content-Length: 1234567").size();
        return std::pair{post("Content-Length: " + std::to_string(length)), length};
    };
    const auto [exact, length] = head(HTTPRequest::maximumSize);
    EXPECT_EQ(outcome(exact), "need more");
    EXPECT_EQ(HTTPRequest::parse(exact + std::string(length, 'x'))->body.size(), length);
    // One byte more is refused as soon as the header block is complete.
    EXPECT_EQ(outcome(head(HTTPRequest::maximumSize + 1).first), "malformed");
}

// What each field decodes to is checked where the input uses it (tests/input).
TEST(MousePacket, AcceptsOnlyValidPackets) {
    const auto padded = [](std::size_t size) {
        const std::string head = R"({"type":"heartbeat","pad":")";
        return head + std::string(size - head.size() - 2, 'a') + R"("})";
    };
    for (const auto& [json, decodes] : std::initializer_list<std::pair<std::string, bool>>{
             {R"({"type":"heartbeat"})", true}, {R"({"type":"release"})", true},
             // "release" and "heartbeat" ignore out-of-range values but still need proper types.
             {R"({"type":"release","x":7,"button":9})", true}, {R"({"type":"heartbeat","x":"left"})", false},
             {R"({"type":"move","x":0,"y":1})", true}, {R"({"type":"move","x":1.0,"y":0})", true},
             {R"({"type":"move","x":1.0001,"y":0.5})", false}, {R"({"type":"move","x":-0.0001,"y":0.5})", false},
             {R"({"type":"move","x":0.5,"y":null})", false}, {R"({"type":"move","x":"0.5","y":0.5})", false},
             {R"({"type":"move","x":1e400,"y":0.5})", false}, {R"({"type":"move","x":0.5,"y":0.5,"shift":1})", false},
             {R"({"type":"move","x":0.5,"y":0.5,"shift":true,"meta":null,"extra":[1]})", true},
             {R"({"type":"down","x":0.5,"y":0.5,"button":3})", false}, {R"({"type":"up","x":0.5,"y":0.5})", false},
             {R"({"type":"down","x":0.5,"y":0.5,"button":-1})", false},
             {R"({"type":"down","x":0.5,"y":0.5,"button":1.5})", false},
             {R"({"type":"down","x":0.5,"y":0.5,"button":18446744073709551615})", false},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dx":-2000,"dy":2000})", true},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dx":0,"dy":2000.5})", false},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dx":-2000.5,"dy":0})", false},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dy":10})", false}, {R"({"type":"click","x":0.5,"y":0.5})", false},
             {R"({"type":"MOVE","x":0.5,"y":0.5})", false}, {R"({"x":0.5,"y":0.5})", false}, {R"({"type":4})", false},
             {R"(["move",0.5,0.5])", false}, {R"({"type":"move","x":0.5,"y":0.5)", false}, {"", false},
             // The size limit is on the raw bytes, trailing white space included.
             {padded(1024), true}, {padded(1025), false}, {R"({"type":"heartbeat"})" + std::string(1010, ' '), false}}) {
        EXPECT_EQ(MousePacket::decode(json).has_value(), decodes) << json;
    }
}

using Result = PairingGate::Result;

TEST(PairingGate, FiveFailuresLockForAMinuteFromTheOldest) {
    PairingGate gate;
    const auto check = [&](const char* code, double now) { return gate.check(code, "1234", now); };
    for (const double moment : {0, 1, 2, 3}) EXPECT_EQ(check("0000", moment), Result::incorrect);
    EXPECT_EQ(check("1234", 4), Result::accepted); // a success clears nothing
    EXPECT_EQ(check("0000", 5), Result::incorrect);
    // Locked, even for the right code. The refused attempt at 30 s is not recorded: had it
    // been, 60 s would still be locked.
    EXPECT_EQ(check("9999", 30), Result::rateLimited);
    EXPECT_EQ(check("1234", 59.999), Result::rateLimited);
    // At 60 s the failure from 0 s is forgotten; four remain.
    EXPECT_EQ(check("1234", 60.0), Result::accepted);
    EXPECT_EQ(gate.failures(), (std::vector<double>{1, 2, 3, 5}));
    // A fifth locks again until the failure from 1 s is a minute old.
    EXPECT_EQ(check("0000", 60.5), Result::incorrect);
    EXPECT_EQ(check("1234", 60.7), Result::rateLimited);
    EXPECT_EQ(check("1234", 61), Result::accepted);
}

TEST(PairingGate, OnlyAnEqualCodeOfFourCharactersIsAccepted) {
    const auto e4 = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"; // four characters in eight bytes
    const auto e3 = "\xC3\xA9" "12";                      // three characters in four bytes
    for (const auto& [code, expected, result] : std::initializer_list<std::tuple<const char*, const char*, Result>>{
             {"1234", "1234", Result::accepted}, {e4, e4, Result::accepted}, {e3, e3, Result::incorrect},
             {"123", "123", Result::incorrect}, {"12345", "12345", Result::incorrect}, {"", "", Result::incorrect},
             {"234", "0234", Result::incorrect}, {"12345", "1234", Result::incorrect}}) {
        PairingGate gate;
        EXPECT_EQ(gate.check(code, expected, 100), result) << code << " vs " << expected;
        EXPECT_EQ(gate.failures().size(), result == Result::incorrect ? 1u : 0u);
    }
}

constexpr const char* offerHead = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";

// One H.264 payload of an offer: its rtpmap and fmtp lines.
std::string h264(int payload, const std::string& fmtp, const char* name = "H264") {
    const auto pt = std::to_string(payload);
    return "a=rtpmap:" + pt + " " + name + "/90000\r\na=fmtp:" + pt + " " + fmtp + "\r\n";
}

TEST(ChooseVideo, PrefersConstrainedBaselineH264ThenVP8) {
    const std::string mode1 = "packetization-mode=1;profile-level-id=", chromium = "level-asymmetry-allowed=1;";
    const std::string vp8 = "a=rtpmap:96 VP8/90000\r\n";
    constexpr VideoCodec onlyH264[] = {VideoCodec::h264};
    using Choice = std::optional<std::pair<VideoCodec, int>>;
    constexpr auto H = VideoCodec::h264, V = VideoCodec::vp8;
    struct Case {
        const char* what; std::string media; Choice expected; std::span<const VideoCodec> sendable = everyVideoCodec;
    };
    for (const auto& c : {
             // Chromium lists VP8 first, baseline 42001f before constrained baseline, and
             // constrained baseline in mode 0 before mode 1; 42e0 in mode 1 must win.
             Case{"Chromium order prefers 42e0 over 4200",
                  "m=video 9 UDP/TLS/RTP/SAVPF 96 97 102 104 106 127\r\n" + vp8 + "a=rtpmap:97 rtx/90000\r\n" +
                      "a=fmtp:97 apt=96\r\n" + h264(102, chromium + mode1 + "42001f") +
                      h264(104, chromium + "packetization-mode=0;profile-level-id=42e01f") +
                      h264(106, chromium + mode1 + "42e01f") + h264(127, mode1 + "4d001f"),
                  std::pair(H, 106)},
             // High and main profiles listed first are passed over.
             Case{"any baseline when no constrained one",
                  "m=video 9 UDP/TLS/RTP/SAVPF 98 99 100\r\n" +
                      h264(98, "profile-level-id=640c1f;packetization-mode=1") + h264(99, mode1 + "4d001f") +
                      h264(100, "profile-level-id=42001f;packetization-mode=1"),
                  std::pair(H, 100)},
             // Names and hex digits in other case still count.
             Case{"case of name and profile", "m=video 9 RTP/SAVPF 120\r\n" + h264(120, mode1 + "42E01F", "h264"),
                  std::pair(H, 120)},
             Case{"H.264 in mode 0 only falls back to VP8",
                  "m=video 9 RTP/SAVPF 104 96\r\n" + h264(104, "profile-level-id=42e01f") + vp8, std::pair(V, 96)},
             // A codec named outside the video section is not video we can send.
             Case{"VP8 and H.264 in an audio section",
                  "m=audio 9 RTP/SAVPF 96 102\r\n" + vp8 + h264(102, mode1 + "42e01f") +
                      "m=video 9 RTP/SAVPF 98\r\na=rtpmap:98 VP9/90000\r\n",
                  std::nullopt},
             // Payload types are local to their section; the answer would use 96 for VP8 where
             // the offer's video line means H.264.
             Case{"an rtpmap of another video section",
                  "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 H264/90000\r\nm=video 9 RTP/SAVPF 98\r\n" + vp8,
                  std::nullopt},
             // The profile goes into the encoder's caps as it is written.
             Case{"a profile-level-id that is not six hex digits",
                  "m=video 9 RTP/SAVPF 100\r\n" + h264(100, mode1 + "42 01f") + vp8, std::nullopt},
             // RTP has seven bits for the payload type.
             Case{"a payload type above 127", "m=video 9 RTP/SAVPF 200\r\na=rtpmap:200 VP8/90000\r\n", std::nullopt},
             Case{"VP8 without its encoder", "m=video 9 RTP/SAVPF 96\r\n" + vp8, std::nullopt, onlyH264}}) {
        const auto choice = chooseVideo(offerHead + c.media, c.sendable);
        EXPECT_EQ(choice ? Choice(std::pair(choice->codec, choice->payloadType)) : std::nullopt, c.expected) << c.what;
    }
}

// The playout-delay extension is answered only under an id the offer gives for the chosen
// video, in a one-byte header, and in a direction the offerer receives.
TEST(OfferCodecs, PlayoutDelayExtensionOfTheChosenVideo) {
    const std::string uri = " http://www.webrtc.org/experiments/rtp-hdrext/playout-delay\r\n";
    const std::string vp8 = "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 VP8/90000\r\n";
    for (const auto& [what, offer, id] : std::initializer_list<std::tuple<const char*, std::string, int>>{
             {"on the session, for every section", "a=extmap:3/sendrecv" + uri + vp8, 3},
             {"only sent by the offerer", vp8 + "a=extmap:5/sendonly" + uri, 0},
             {"an id that needs two-byte headers", vp8 + "a=extmap:15" + uri, 0},
             {"another extension", vp8 + "a=extmap:5 urn:3gpp:video-orientation\r\n", 0},
             // Ids are per section: the audio's and a rejected video's are not ours.
             {"in another section", "m=audio 9 RTP/SAVPF 111\r\na=extmap:4" + uri + vp8, 0},
             {"of a video section not chosen",
              vp8 + "a=extmap:8" + uri + "m=video 9 RTP/SAVPF 97\r\na=rtpmap:97 AV1/90000\r\na=extmap:7" + uri, 8}}) {
        const auto choice = chooseVideo(offerHead + offer);
        ASSERT_TRUE(choice) << what;
        EXPECT_EQ(choice->playoutDelayExtension, id) << what;
    }
}

// Candidates under a name leave the offer; addresses and every other line stay, line
// endings included.
TEST(OfferCandidates, NamedAddressesLeave) {
    const std::string udpName = "a=candidate:1 1 udp 2122260223 6f1c0c3e-8b1a-4a4e-9d6e-0a1b2c3d4e5f.local 54321 typ host\r\n";
    const std::string tcpName = "a=candidate:2 1 tcp 1518280447 A1B2.LOCAL 9 typ host tcptype active\r\n";
    const std::string ipv4 = "a=candidate:3 1 udp 2122260223 10.213.0.2 54321 typ host generation 0\r\n";
    const std::string ipv6 = "a=candidate:4 1 udp 2122262783 fd00::2 40000 typ host\r\n";
    const std::string reflexive = "a=candidate:5 1 udp 1686052607 198.51.100.7 3478 typ srflx raddr 0.0.0.0 rport 0\r\n";
    const std::string rest = "v=0\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:0\r\na=end-of-candidates\r\n";
    for (const auto& [what, offer, kept] : std::initializer_list<std::tuple<const char*, std::string, std::string>>{
             {"Chromium's mDNS names", rest + udpName + tcpName + "a=rtpmap:96 VP8/90000", rest + "a=rtpmap:96 VP8/90000"},
             {"addresses", rest + ipv4 + ipv6 + reflexive, rest + ipv4 + ipv6 + reflexive},
             {"the last line a name without its ending", rest + ipv4 + udpName.substr(0, udpName.size() - 2), rest + ipv4},
             {"bare line feeds", "a=mid:0\n" + ipv4.substr(0, ipv4.size() - 2) + "\na=candidate:1 1 udp 1 host.local 1 typ host\n",
              "a=mid:0\n" + ipv4.substr(0, ipv4.size() - 2) + "\n"},
             {"a candidate line too short to name anything", "a=candidate:1 1 udp\r\n", "a=candidate:1 1 udp\r\n"}}) {
        EXPECT_EQ(withoutNamedCandidates(offer), kept) << what;
    }
}

} // namespace
} // namespace tavelin

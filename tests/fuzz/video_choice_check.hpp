#pragma once

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/offer_codecs.hpp"
#include "fuzz_check.hpp"

// What any choice of chooseVideo must hold, read back from the offer by a plainer reading
// of its own: the payload type is listed on an m=video line, and the attributes of that
// same media section map it to the chosen codec (H.264 in packetization mode 1 with the
// reported baseline profile). A payload type the answer uses outside that section is
// silently dropped by the browser.
namespace tavelin::fuzz {

struct MediaSection {
    std::vector<std::string> formats;
    std::vector<std::string> attributes; // without the "a="
};

inline bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

inline std::optional<int> number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

inline std::vector<MediaSection> videoSections(std::string_view sdp) {
    std::vector<MediaSection> sections;
    bool inVideo = false;
    std::istringstream lines{std::string(sdp)};
    for (std::string text; std::getline(lines, text);) {
        std::string_view line = text;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.starts_with("m=")) {
            inVideo = line.starts_with("m=video ");
            if (!inVideo) continue;
            auto& formats = sections.emplace_back().formats;
            std::istringstream words{std::string(line.substr(2))};
            std::string word; // media, port and protocol, then the formats
            for (int index = 0; words >> word; ++index) if (index >= 3) formats.push_back(word);
        } else if (inVideo && line.starts_with("a=")) {
            sections.back().attributes.emplace_back(line.substr(2));
        }
    }
    return sections;
}

// Whether an attribute "<name>:<payload type> <value>" of the section, for the chosen
// payload type, has `wanted` among its ';'-separated values (compared without blanks
// and case).
inline bool hasAttribute(const MediaSection& section, std::string_view name, int payloadType, std::string_view wanted) {
    return std::ranges::any_of(section.attributes, [&](std::string_view attribute) {
        if (!attribute.starts_with(name)) return false;
        attribute.remove_prefix(name.size());
        const auto blank = std::ranges::find_if(attribute, isBlank) - attribute.begin();
        if (number(attribute.substr(0, static_cast<std::size_t>(blank))) != payloadType) return false;
        std::string values = ";";
        for (const char c : attribute.substr(static_cast<std::size_t>(blank))) {
            if (!isBlank(c)) values += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return (values + ";").find(";" + std::string(wanted) + ";") != std::string::npos;
    });
}

inline bool sectionCarries(const MediaSection& section, const NegotiatedVideo& video) {
    const int type = video.payloadType;
    if (std::ranges::none_of(section.formats, [&](const std::string& format) { return number(format) == type; })) {
        return false;
    }
    if (video.codec == VideoCodec::vp8) return hasAttribute(section, "rtpmap:", type, "vp8/90000");
    return hasAttribute(section, "rtpmap:", type, "h264/90000") &&
           hasAttribute(section, "fmtp:", type, "packetization-mode=1") &&
           hasAttribute(section, "fmtp:", type, "profile-level-id=" + video.profileLevelID);
}

inline void checkVideoChoice(std::string_view sdp) {
    static constexpr VideoCodec onlyH264[] = {VideoCodec::h264};
    static constexpr VideoCodec onlyVP8[] = {VideoCodec::vp8};
    const auto chosen = chooseVideo(sdp);
    const auto h264 = chooseVideo(sdp, onlyH264);
    const auto vp8 = chooseVideo(sdp, onlyVP8);
    // Our order decides, whatever the sender has: H.264 when it can, else VP8.
    FUZZ_REQUIRE(chosen == (h264 ? h264 : vp8));
    FUZZ_REQUIRE(!chooseVideo(sdp, {}));
    const auto sections = videoSections(sdp);
    for (const auto& video : {h264, vp8}) {
        if (!video) continue;
        FUZZ_REQUIRE(video->payloadType >= 0 && video->payloadType <= 127);
        FUZZ_REQUIRE(std::ranges::any_of(sections, [&](const MediaSection& s) { return sectionCarries(s, *video); }));
    }
    if (h264) {
        FUZZ_REQUIRE(h264->codec == VideoCodec::h264 && h264->profileLevelID.size() == 6 && h264->profileLevelID.starts_with("42"));
        FUZZ_REQUIRE(std::ranges::all_of(h264->profileLevelID, [](unsigned char c) { return std::isxdigit(c) && !std::isupper(c); }));
    }
    if (vp8) FUZZ_REQUIRE(vp8->codec == VideoCodec::vp8 && vp8->profileLevelID.empty());
}

} // namespace tavelin::fuzz

#include "core/offer_codecs.hpp"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace tavelin {

namespace {

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

std::optional<int> payloadNumber(std::string_view text) {
    int value = 0;
    if (text.empty() || text.size() > 3) return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    // RTP carries seven bits; the payloader cannot take a larger type.
    if (value > 127) return std::nullopt;
    return value;
}

// Three bytes in hex: profile, constraints, level. The text goes into our caps as it is.
bool isProfileLevelID(std::string_view text) {
    return text.size() == 6 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

// The id of "a=extmap:<id>[/<direction>] <uri> ..." if it names the playout delay in a
// one-byte id the offerer receives; 0 otherwise.
int playoutDelayID(std::string_view line) {
    std::istringstream words{std::string(line.substr(9))};
    std::string value, uri;
    if (!(words >> value >> uri) || uri != playoutDelayURI) return 0;
    const auto slash = value.find('/');
    const std::string direction = slash == std::string::npos ? "" : lowered(value.substr(slash + 1));
    if (direction != "" && direction != "sendrecv" && direction != "recvonly") return 0;
    const auto id = payloadNumber(std::string_view(value).substr(0, slash));
    return id && *id >= 1 && *id <= 14 ? *id : 0;
}

struct OfferedPayload {
    std::size_t section = 0; // among the m=video lines
    int type = 0;
    std::string encoding; // lowered, "h264/90000"
    std::string packetizationMode = "0";
    std::string profileLevelID;
};

} // namespace

const char* codecName(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::h264: return "H264";
    case VideoCodec::vp8: return "VP8";
    }
    return "";
}

std::optional<NegotiatedVideo> chooseVideo(std::string_view offerSDP, std::span<const VideoCodec> sendable) {
    std::vector<OfferedPayload> payloads;
    bool inVideo = false;
    // Payload types are local to their media section: an rtpmap or fmtp line only
    // describes the formats of the m=video line above it.
    std::size_t sectionStart = 0;
    std::vector<int> playoutDelays; // per m=video line
    int sessionPlayoutDelay = 0;
    bool beforeMedia = true;
    auto find = [&](int type) -> OfferedPayload* {
        for (auto payload = payloads.begin() + static_cast<std::ptrdiff_t>(sectionStart); payload != payloads.end(); ++payload) {
            if (payload->type == type) return &*payload;
        }
        return nullptr;
    };
    while (!offerSDP.empty()) {
        const auto end = offerSDP.find('\n');
        const std::string_view line = trimmed(offerSDP.substr(0, end));
        offerSDP.remove_prefix(end == std::string_view::npos ? offerSDP.size() : end + 1);
        if (line.starts_with("m=")) {
            beforeMedia = false;
            inVideo = line.starts_with("m=video ");
            if (!inVideo) continue;
            sectionStart = payloads.size();
            playoutDelays.push_back(0);
            // m=video <port> <proto> <pt> <pt> ...
            std::istringstream words{std::string(line.substr(2))};
            std::string word;
            for (int index = 0; words >> word; ++index) {
                if (index < 3) continue;
                if (const auto type = payloadNumber(word); type && !find(*type)) payloads.push_back(OfferedPayload{.section = playoutDelays.size() - 1, .type = *type, .encoding = {}, .packetizationMode = "0", .profileLevelID = {}});
            }
            continue;
        }
        if (line.starts_with("a=extmap:") && (beforeMedia || inVideo)) {
            if (const int id = playoutDelayID(line)) (beforeMedia ? sessionPlayoutDelay : playoutDelays.back()) = id;
            continue;
        }
        if (!inVideo) continue;
        const bool rtpmap = line.starts_with("a=rtpmap:");
        const bool fmtp = line.starts_with("a=fmtp:");
        if (!rtpmap && !fmtp) continue;
        const std::string_view rest = line.substr(rtpmap ? 9 : 7);
        const auto space = rest.find(' ');
        if (space == std::string_view::npos) continue;
        const auto type = payloadNumber(rest.substr(0, space));
        OfferedPayload* payload = type ? find(*type) : nullptr;
        if (!payload) continue;
        const std::string value = lowered(trimmed(rest.substr(space + 1)));
        if (rtpmap) {
            payload->encoding = value;
            continue;
        }
        std::string_view parameters = value;
        while (!parameters.empty()) {
            const auto semicolon = parameters.find(';');
            const std::string_view parameter = trimmed(parameters.substr(0, semicolon));
            parameters.remove_prefix(semicolon == std::string_view::npos ? parameters.size() : semicolon + 1);
            const auto equals = parameter.find('=');
            if (equals == std::string_view::npos) continue;
            const std::string_view key = trimmed(parameter.substr(0, equals));
            const std::string_view setting = trimmed(parameter.substr(equals + 1));
            if (key == "packetization-mode") payload->packetizationMode = std::string(setting);
            if (key == "profile-level-id") payload->profileLevelID = std::string(setting);
        }
    }
    auto negotiated = [&](VideoCodec codec, const OfferedPayload& payload) {
        const int inSection = playoutDelays[payload.section];
        return NegotiatedVideo{codec, payload.type, codec == VideoCodec::h264 ? payload.profileLevelID : std::string(),
                               inSection ? inSection : sessionPlayoutDelay};
    };
    auto h264 = [&](std::string_view prefix) -> std::optional<NegotiatedVideo> {
        for (const auto& payload : payloads) {
            if (payload.encoding == "h264/90000" && payload.packetizationMode == "1" &&
                isProfileLevelID(payload.profileLevelID) && payload.profileLevelID.starts_with(prefix)) {
                return negotiated(VideoCodec::h264, payload);
            }
        }
        return std::nullopt;
    };
    for (const VideoCodec codec : everyVideoCodec) {
        if (std::find(sendable.begin(), sendable.end(), codec) == sendable.end()) continue;
        if (codec == VideoCodec::h264) {
            if (auto constrained = h264("42e0")) return constrained;
            if (auto baseline = h264("42")) return baseline;
            continue;
        }
        for (const auto& payload : payloads) {
            if (payload.encoding == "vp8/90000") return negotiated(codec, payload);
        }
    }
    return std::nullopt;
}

} // namespace tavelin

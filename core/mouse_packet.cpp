#include "core/mouse_packet.hpp"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace tavelin {

namespace {

using Json = nlohmann::json;

struct Invalid {};

const Json* field(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

std::optional<double> number(const Json& object, const char* key) {
    const auto* value = field(object, key);
    if (!value) return std::nullopt;
    if (!value->is_number()) throw Invalid{};
    return value->get<double>();
}

std::optional<std::int64_t> integer(const Json& object, const char* key) {
    const auto* value = field(object, key);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto n = value->get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) throw Invalid{};
        return static_cast<std::int64_t>(n);
    }
    if (!value->is_number_integer()) throw Invalid{};
    return value->get<std::int64_t>();
}

std::optional<bool> flag(const Json& object, const char* key) {
    const auto* value = field(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) throw Invalid{};
    return value->get<bool>();
}

bool isFraction(std::optional<double> value) {
    return value && std::isfinite(*value) && *value >= 0.0 && *value <= 1.0;
}

bool isScrollAmount(std::optional<double> value) {
    return value && std::isfinite(*value) && std::fabs(*value) <= MousePacket::maximumScroll;
}

} // namespace

std::optional<MousePacket> MousePacket::decode(std::string_view data) {
    if (data.size() > maximumSize) return std::nullopt;
    const auto object = Json::parse(data, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) return std::nullopt;

    MousePacket packet;
    try {
        const auto* type = field(object, "type");
        if (!type || !type->is_string()) return std::nullopt;
        packet.type = type->get<std::string>();
        packet.x = number(object, "x");
        packet.y = number(object, "y");
        packet.button = integer(object, "button");
        packet.dx = number(object, "dx");
        packet.dy = number(object, "dy");
        packet.shift = flag(object, "shift");
        packet.control = flag(object, "control");
        packet.alt = flag(object, "alt");
        packet.meta = flag(object, "meta");
    } catch (const Invalid&) {
        return std::nullopt;
    }

    if (packet.type == "release" || packet.type == "heartbeat") return packet;
    const bool pointer = packet.type == "move" || packet.type == "down" || packet.type == "up" ||
                         packet.type == "scroll";
    if (!pointer) return std::nullopt;
    if (!isFraction(packet.x) || !isFraction(packet.y)) return std::nullopt;
    if (packet.type == "down" || packet.type == "up") {
        if (!packet.button || *packet.button < 0 || *packet.button > 2) return std::nullopt;
    }
    if (packet.type == "scroll" && (!isScrollAmount(packet.dx) || !isScrollAmount(packet.dy))) {
        return std::nullopt;
    }
    return packet;
}

} // namespace tavelin

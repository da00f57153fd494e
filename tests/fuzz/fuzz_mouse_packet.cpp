#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/mouse_packet.hpp"
#include "fuzz_check.hpp"

namespace {

using tavelin::MousePacket;

bool isFraction(const std::optional<double>& value) {
    return value && std::isfinite(*value) && *value >= 0.0 && *value <= 1.0;
}

bool isScrollAmount(const std::optional<double>& value) {
    return value && std::isfinite(*value) && std::fabs(*value) <= MousePacket::maximumScroll;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const auto packet = MousePacket::decode(data);
    if (!packet) return 0;
    FUZZ_REQUIRE(size <= MousePacket::maximumSize);

    const auto& type = packet->type;
    if (type == "release" || type == "heartbeat") return 0;
    FUZZ_REQUIRE(type == "move" || type == "down" || type == "up" || type == "scroll");
    FUZZ_REQUIRE(isFraction(packet->x));
    FUZZ_REQUIRE(isFraction(packet->y));
    if (type == "down" || type == "up") {
        FUZZ_REQUIRE(packet->button && *packet->button >= 0 && *packet->button <= 2);
    }
    if (type == "scroll") {
        FUZZ_REQUIRE(isScrollAmount(packet->dx));
        FUZZ_REQUIRE(isScrollAmount(packet->dy));
    }
    return 0;
}

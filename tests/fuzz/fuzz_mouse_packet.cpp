#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/mouse_packet.hpp"
#include "fuzz_check.hpp"

namespace {

bool within(const std::optional<double>& value, double low, double high) {
    return value && std::isfinite(*value) && *value >= low && *value <= high;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using tavelin::MousePacket;
    const auto packet = MousePacket::decode(std::string_view(reinterpret_cast<const char*>(bytes), size));
    if (!packet) return 0;
    FUZZ_REQUIRE(size <= MousePacket::maximumSize);

    const auto& type = packet->type;
    if (type == "release" || type == "heartbeat") return 0;
    FUZZ_REQUIRE(type == "move" || type == "down" || type == "up" || type == "scroll");
    FUZZ_REQUIRE(within(packet->x, 0, 1) && within(packet->y, 0, 1));
    if (type == "down" || type == "up") FUZZ_REQUIRE(packet->button && *packet->button >= 0 && *packet->button <= 2);
    if (type == "scroll") {
        constexpr double limit = MousePacket::maximumScroll;
        FUZZ_REQUIRE(within(packet->dx, -limit, limit) && within(packet->dy, -limit, limit));
    }
    return 0;
}

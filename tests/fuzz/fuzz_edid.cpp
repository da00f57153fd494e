#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>
#include <string>

#include "core/unicode_text.hpp"
#include "displays/edid.hpp"
#include "fuzz_check.hpp"

// Both ways EDID bytes cross our boundary: a monitor's block as the display server hands
// it over (an input that starts with the fixed header), and the block we make for a
// virtual display from a saved profile, whose name the user typed (any other input: the
// first 32 bytes fill the numbers, the rest is the name).
namespace {

using namespace tavelin::displays;

constexpr std::uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// The name reaches D-Bus (colord's device properties) and the interface as text.
void checkName(const std::string& name) {
    FUZZ_REQUIRE(tavelin::unicode::isValidUTF8(name));
    FUZZ_REQUIRE(std::ranges::none_of(name, [](unsigned char c) { return c < 0x20 || c == 0x7F; }));
    FUZZ_REQUIRE(name.empty() || name.back() != ' ');
}

void checkMonitorBlock(std::span<const std::uint8_t> bytes) {
    const auto identity = readEDID(bytes);
    FUZZ_REQUIRE(identity.has_value() == (bytes.size() >= 128));
    if (!identity) return;
    FUZZ_REQUIRE(identity->manufacturer.size() == 3 &&
                 std::ranges::all_of(identity->manufacturer, [](char c) { return (c >= 'A' && c <= 'Z') || c == '?'; }));
    checkName(identity->name);
}

template <typename T>
T take(std::span<const std::uint8_t>& bytes) {
    T value{};
    const auto n = std::min(sizeof value, bytes.size());
    std::memcpy(&value, bytes.data(), n);
    bytes = bytes.subspan(n);
    return value;
}

void checkVirtualBlock(std::span<const std::uint8_t> bytes) {
    VirtualDisplayDescriptor descriptor;
    descriptor.productID = take<std::uint16_t>(bytes);
    descriptor.serialNumber = take<std::uint32_t>(bytes);
    descriptor.widthMillimetres = take<std::uint16_t>(bytes) / 4.0;
    descriptor.heightMillimetres = take<std::uint16_t>(bytes) / 4.0;
    descriptor.refreshRate = take<std::uint8_t>(bytes);
    ModeTiming mode;
    mode.dotClockHz = take<std::uint32_t>(bytes) * 10ull;
    for (auto* field : {&mode.hDisplay, &mode.hSyncStart, &mode.hSyncEnd, &mode.hTotal, &mode.vDisplay, &mode.vSyncStart,
                        &mode.vSyncEnd, &mode.vTotal}) {
        *field = take<std::uint16_t>(bytes);
    }
    const auto flags = take<std::uint8_t>(bytes);
    mode.interlaced = flags & 1, mode.hSyncPositive = flags & 2, mode.vSyncPositive = flags & 4;
    descriptor.name.assign(bytes.begin(), bytes.end());

    const EDID block = makeEDID(descriptor, mode);
    FUZZ_REQUIRE(std::accumulate(block.begin(), block.end(), 0u) % 256 == 0);
    const auto identity = readEDID(block);
    FUZZ_REQUIRE(identity && identity->vendor == VirtualDisplayDescriptor::vendorID &&
                 identity->model == descriptor.productID && identity->serial == descriptor.serialNumber);
    checkName(identity->name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    if (size >= sizeof header && std::equal(std::begin(header), std::end(header), data)) {
        checkMonitorBlock(bytes);
    } else {
        FUZZ_REQUIRE(!readEDID(bytes));
        checkVirtualBlock(bytes);
    }
    return 0;
}

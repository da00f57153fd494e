#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/mouse_packet.hpp"

// A receiver's mouse message as the data channel hands it over, decoded under the
// sanitizers; which packets decode, and to what, is the core tests' table.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static_cast<void>(tavelin::MousePacket::decode(std::string_view(reinterpret_cast<const char*>(bytes), size)));
    return 0;
}

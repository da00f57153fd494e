#include <cstddef>
#include <cstdint>
#include <string_view>

#include "video_choice_check.hpp"

// The receiver's SDP offer as the codec choice reads it, before GStreamer sees it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    tavelin::fuzz::checkVideoChoice(std::string_view(reinterpret_cast<const char*>(bytes), size));
    return 0;
}

#pragma once

#include <string>

namespace tavelin::support {

// A mouse packet as the receiver page sends it: its type, its position as fractions of
// the display, and any further fields (",\"button\":0").
inline std::string at(const char* type, double x, double y, const std::string& extra = {}) {
    return std::string(R"({"type":")") + type + R"(","x":)" + std::to_string(x) + R"(,"y":)" + std::to_string(y) +
           extra + "}";
}

} // namespace tavelin::support

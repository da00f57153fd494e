#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/physical_displays.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

// The bytes of an output property (EDID, ConnectorType, ...); empty when it is not set.
std::vector<std::uint8_t> outputProperty(const Connection& connection, std::uint32_t output, const char* name);
// The output's RandR name, such as "eDP-1" or "DUMMY0".
std::string outputName(const Connection& connection, std::uint32_t output);
// A laptop's own panel: named so by the driver, or marked a panel by its connector type.
bool isBuiltInOutput(const Connection& connection, std::uint32_t output);

// What the physical display controls read of an output: its monitor's name and identity
// from the EDID, whether it is the built-in panel, and which of its modes can carry a
// desktop. Displays that are not outputs (Tavelin's own monitors) have no EDID.
class RandRPhysicalDisplays final : public PhysicalDisplays {
public:
    explicit RandRPhysicalDisplays(Connection& connection) : connection_(connection) {}

    std::string name(DisplayID display) override;
    bool isBuiltIn(DisplayID display) override;
    DisplayIdentity identity(DisplayID display) override;
    bool isUsableForDesktop(DisplayID display, const DisplayMode& mode) override;

private:
    Connection& connection_;
};

} // namespace tavelin::x11

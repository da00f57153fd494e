#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/virtual_display.hpp"
#include "platform/x11/randr_display_services.hpp"

namespace tavelin::x11 {

// Virtual displays on X11 RandR. Preferred: a free output that takes new modes (the
// dummy driver's DUMMYn, VIRTUALn on some GPU drivers), lit with CVT modes made for the
// display and an EDID that carries its name, size, primaries and identity. Where no
// output is free, a RandR monitor over a region added to the framebuffer stands in. New
// displays go to the right of everything lit, top-aligned with the primary.
//
// The displays share the services' connection; the services must outlive them.
class RandRVirtualDisplayFactory final : public VirtualDisplayFactory {
public:
    enum class Backing {
        output,  // an output when one is free, else a monitor
        monitor, // always a monitor
    };

    explicit RandRVirtualDisplayFactory(RandRDisplayServices& services, Backing backing = Backing::output);

    // Throws VirtualDisplayError; a failure leaves nothing behind.
    std::unique_ptr<VirtualDisplay> create(std::int64_t width, std::int64_t height, double refreshRate, bool hiDPI,
                                           const std::string& name, const std::string& identifier) override;

private:
    // Outputs and monitors an earlier run left lit (killed before it could release
    // them) are released; an output keeps its EDID's identity, so that the saved display
    // it was made for takes it again.
    void releaseLeftovers();

    RandRDisplayServices& services_;
    std::map<std::uint64_t, xcb_randr_output_t> leftovers_;
    Backing backing_;
    unsigned nextMonitor_ = 1;
};

} // namespace tavelin::x11

#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/display_services.hpp"

namespace tavelin {

// One live virtual display: it exists for the display server exactly as long as this
// object does.
class VirtualDisplay {
public:
    virtual ~VirtualDisplay() = default;
    virtual DisplayID displayID() const = 0;
};

// Why a virtual display could not be created; the message is shown to the user.
class VirtualDisplayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Called on the engine; create() answers before it returns.
class VirtualDisplayFactory {
public:
    virtual ~VirtualDisplayFactory() = default;
    // Throws VirtualDisplayError. `identifier` is stable per saved display, so that the
    // display server recognises the same display again.
    virtual std::unique_ptr<VirtualDisplay> create(std::int64_t width, std::int64_t height,
                                                   double refreshRate, bool hiDPI,
                                                   const std::string& name,
                                                   const std::string& identifier) = 0;
};

} // namespace tavelin

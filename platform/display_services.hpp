#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace tavelin {

// The display server's 32-bit identifier of a display; 0 is "no display".
using DisplayID = std::uint32_t;
inline constexpr DisplayID nullDisplay = 0;

struct DisplayMode {
    std::uint64_t id = 0;       // the display server's handle of the mode
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::int64_t width = 0;     // in points: half the pixels on a HiDPI mode
    std::int64_t height = 0;
    double refreshRate = 0;     // Hz
    friend bool operator==(const DisplayMode&, const DisplayMode&) = default;
};

// A rectangle in global display coordinates: the main display's top-left corner is
// (0, 0) and y grows downwards.
struct DisplayBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    friend bool operator==(const DisplayBounds&, const DisplayBounds&) = default;
};

// Why the display server refused a display change. A server may answer with codes of
// its own; the number is what the user reads in the refusal.
enum class DisplayError : std::int32_t {
    none = 0,
    failure = 1000,         // the server refused
    illegalArgument = 1001, // unknown display or mode
};

inline int code(DisplayError error) { return static_cast<int>(error); }

// A batch of arrangement changes applied together.
class DisplayConfigurationTransaction {
public:
    virtual ~DisplayConfigurationTransaction() = default;
    virtual DisplayError configureOrigin(DisplayID display, std::int32_t x, std::int32_t y) = 0;
    // master nullDisplay ends mirroring.
    virtual DisplayError configureMirror(DisplayID display, DisplayID master) = 0;
    // Applies every staged change permanently.
    virtual DisplayError complete() = 0;
    virtual void cancel() = 0;
};

// What the model asks of the display server about the displays it sees. Called on the
// engine; every call answers before it returns.
class DisplayServices {
public:
    virtual ~DisplayServices() = default;

    virtual std::vector<DisplayMode> modes(DisplayID display) = 0;
    virtual std::optional<DisplayMode> currentMode(DisplayID display) = 0;
    virtual DisplayError setMode(DisplayID display, const DisplayMode& mode) = 0;
    virtual bool isOnline(DisplayID display) = 0;
    virtual DisplayBounds bounds(DisplayID display) = 0;
    virtual DisplayID mainDisplay() = 0;
    // The display this one mirrors, or nullDisplay.
    virtual DisplayID mirrorsDisplay(DisplayID display) = 0;
    // Nothing when the list cannot be read.
    virtual std::optional<std::vector<DisplayID>> activeDisplays() = 0;
    // Nothing when a transaction cannot begin.
    virtual std::unique_ptr<DisplayConfigurationTransaction> beginConfiguration() = 0;
};

} // namespace tavelin

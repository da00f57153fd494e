#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/display_configuration.hpp"
#include "core/uuid.hpp"

namespace tavelin {

// One saved virtual display: its identity, name, mode, stream bitrate, whether the
// user wants it to exist, and where it sits in the arrangement.
class DisplayProfile {
public:
    static constexpr std::string_view defaultName = "Tavelin Virtual Display";
    // The mode a new display starts with.
    static constexpr std::int64_t defaultWidth = 1920;
    static constexpr std::int64_t defaultHeight = 1080;
    static constexpr std::int64_t defaultRefreshRate = 75;
    static constexpr std::int64_t defaultBitrateMbps = 35;

    // A display in the default mode, not HiDPI, not enabled.
    static DisplayProfile withDefaultMode(UUID id, std::string name) {
        return DisplayProfile(id, std::move(name), defaultWidth, defaultHeight, defaultRefreshRate,
                              defaultBitrateMbps, false, false);
    }

    DisplayProfile(UUID id, std::string name, std::int64_t width, std::int64_t height,
                   std::int64_t refreshRate, std::int64_t bitrateMbps, bool hiDPI, bool enabled)
        : name(std::move(name)), width(width), height(height), refreshRate(refreshRate),
          bitrateMbps(bitrateMbps), hiDPI(hiDPI), enabled(enabled), id_(id) {}

    // The identity never changes; it also keys the live virtual display.
    const UUID& id() const { return id_; }

    std::string name;
    std::int64_t width;
    std::int64_t height;
    std::int64_t refreshRate;
    std::int64_t bitrateMbps;
    bool hiDPI;
    bool enabled;
    std::optional<std::int32_t> originX;
    std::optional<std::int32_t> originY;
    std::optional<bool> mirrorMain;

    // The mode as a DisplayConfiguration; throws ConfigurationError like its constructor.
    DisplayConfiguration validated() const;

    // The cleaned name (trimmed of white space and line breaks), or nothing when it is
    // empty, longer than 80 user-perceived characters, or holds a control or format
    // character.
    static std::optional<std::string> validateName(std::string_view name);

    friend bool operator==(const DisplayProfile&, const DisplayProfile&) = default;

private:
    UUID id_;
};

// The stored JSON form of the profile list: a compact UTF-8 array in list order.
// Encoding gives nothing when a profile cannot be written (a name that is not UTF-8).
std::optional<std::string> encodeDisplayProfiles(const std::vector<DisplayProfile>& profiles);

// Reads the stored array. Any malformed JSON, missing required key or wrongly typed
// value fails the whole list. The modes are not validated here.
std::optional<std::vector<DisplayProfile>> decodeDisplayProfiles(std::string_view json);

} // namespace tavelin

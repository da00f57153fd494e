#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace tavelin {

// Why a requested display mode was refused. The message is the sentence shown to
// the user.
class ConfigurationError : public std::exception {
public:
    enum class Kind { invalidResolution, invalidRefreshRate, invalidBitrate, invalidHiDPI };

    explicit ConfigurationError(Kind kind) : kind_(kind) {}

    Kind kind() const { return kind_; }
    static const char* message(Kind kind);
    std::string message() const { return message(kind_); }
    const char* what() const noexcept override { return message(kind_); }

    friend bool operator==(const ConfigurationError& a, const ConfigurationError& b) {
        return a.kind_ == b.kind_;
    }

private:
    Kind kind_;
};

struct VideoSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    friend bool operator==(const VideoSize&, const VideoSize&) = default;
};

// A validated virtual display mode and the stream made from it. The only way to
// get one is the validating constructor, so every value in the program is within
// bounds.
class DisplayConfiguration {
public:
    // Throws ConfigurationError for the first rule the values break.
    DisplayConfiguration(std::int64_t width, std::int64_t height, std::int64_t refreshRate,
                         std::int64_t bitrateMbps, bool hiDPI);

    // The first rule the values break, if any, without building a value.
    static std::optional<ConfigurationError::Kind> check(std::int64_t width, std::int64_t height,
                                                         std::int64_t refreshRate,
                                                         std::int64_t bitrateMbps, bool hiDPI);

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }
    std::int64_t refreshRate() const { return refreshRate_; }
    std::int64_t bitrateMbps() const { return bitrateMbps_; }
    bool hiDPI() const { return hiDPI_; }

    // The largest even-sized frame with the source's aspect ratio that fits inside
    // this mode. A source with a side below 1 gives the mode's own size.
    VideoSize fittedVideoSize(std::int64_t sourceWidth, std::int64_t sourceHeight) const;

    friend bool operator==(const DisplayConfiguration&, const DisplayConfiguration&) = default;

private:
    std::int64_t width_;
    std::int64_t height_;
    std::int64_t refreshRate_;
    std::int64_t bitrateMbps_;
    bool hiDPI_;
};

} // namespace tavelin

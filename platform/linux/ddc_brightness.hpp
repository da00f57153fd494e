#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace tavelin {

// The few DDC/CI calls the brightness slider needs. Calls may take a second each and
// come from one thread at a time.
class DDCBus {
public:
    using EDID = std::array<std::uint8_t, 128>;
    struct Value {
        std::uint16_t current = 0;
        std::uint16_t maximum = 0;
    };

    virtual ~DDCBus() = default;
    // The monitors that answer, by their EDID base block; a monitor is named by its index.
    virtual std::vector<EDID> detect() = 0;
    virtual std::optional<Value> read(std::size_t monitor, std::uint8_t feature) = 0;
    virtual bool write(std::size_t monitor, std::uint8_t feature, std::uint16_t value) = 0;
};

// libddcutil, loaded at run time so that Tavelin runs where it is not installed. Nothing
// when the library or one of its functions is missing.
std::unique_ptr<DDCBus> openDDCUtil(const std::string& library = "libddcutil.so.4");

// Monitor brightness (VCP feature 0x10) over DDC/CI. Detection runs on a thread of its
// own from construction; until it ends every monitor is absent, then the values read
// during detection answer at once and follow our own writes.
class DDCBrightness {
public:
    static constexpr std::uint8_t luminance = 0x10;

    // `bus` may be null (no libddcutil). `detected` runs on the detection thread once
    // it has ended, so that the owner can post a refresh to its own thread.
    explicit DDCBrightness(std::unique_ptr<DDCBus> bus, std::function<void()> detected = {});
    ~DDCBrightness();
    DDCBrightness(const DDCBrightness&) = delete;
    DDCBrightness& operator=(const DDCBrightness&) = delete;

    // `edid` is the output's EDID; only its base block is compared.
    std::optional<double> brightness(std::span<const std::uint8_t> edid);
    bool setBrightness(std::span<const std::uint8_t> edid, double level);

private:
    struct Monitor {
        std::size_t index = 0; // as the bus names it
        DDCBus::EDID edid{};
        DDCBus::Value value;
    };
    void detect();
    Monitor* find(std::span<const std::uint8_t> edid);

    std::unique_ptr<DDCBus> bus_;
    std::function<void()> detected_;
    std::mutex mutex_;
    bool ready_ = false;
    std::vector<Monitor> monitors_; // those that answered with a brightness
    std::thread detection_;
};

} // namespace tavelin

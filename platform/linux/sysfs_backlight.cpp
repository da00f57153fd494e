#include "platform/linux/sysfs_backlight.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "core/log.hpp"
#include "platform/gnome/dbus_call.hpp"

namespace tavelin {

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

std::optional<std::uint32_t> number(const fs::path& file) {
    std::ifstream in(file);
    std::uint32_t value = 0;
    if (!(in >> value)) return std::nullopt;
    return value;
}

std::vector<std::uint8_t> bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The base block is what identifies the monitor; extension blocks may be read or not.
bool sameMonitor(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    constexpr std::size_t base = 128;
    return a.size() >= base && b.size() >= base && std::equal(a.begin(), a.begin() + base, b.begin());
}

// Lower is preferred: firmware (ACPI) knows the panel best, raw registers least.
std::optional<int> preference(const std::string& type) {
    if (type == "firmware") return 0;
    if (type == "platform") return 1;
    if (type == "raw") return 2;
    return std::nullopt;
}

} // namespace

std::vector<std::uint8_t> drmConnectorEDID(const std::string& connector, const fs::path& root) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root / "class" / "drm", error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("card") && name.ends_with("-" + connector)) return bytes(entry.path() / "edid");
    }
    return {};
}

struct SysfsBacklight::Device {
    std::string name;
    fs::path directory;
    bool raw = false;
    std::uint32_t maximum = 0;
};

LogindBacklightWriter::LogindBacklightWriter(std::string busAddress) : busAddress_(std::move(busAddress)) {}

bool LogindBacklightWriter::write(const std::string& device, std::uint32_t value) {
    try {
        const gnome::Connection bus = gnome::systemBus(busAddress_);
        gnome::call(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
                    "org.freedesktop.login1.Session", "SetBrightness",
                    g_variant_new("(ssu)", "backlight", device.c_str(), value), nullptr, 2000);
        return true;
    } catch (const std::runtime_error& error) {
        log::error("the backlight ", device, " was not set: ", error.what());
        return false;
    }
}

SysfsBacklight::SysfsBacklight(fs::path root, std::unique_ptr<BacklightWriter> writer)
    : root_(std::move(root)), writer_(std::move(writer)) {}

std::optional<SysfsBacklight::Device> SysfsBacklight::choose(std::span<const std::uint8_t> edid, bool soleBuiltIn) {
    std::error_code error;
    std::optional<std::pair<int, Device>> best;
    for (const auto& entry : fs::directory_iterator(root_ / "class" / "backlight", error)) {
        auto rank = preference(firstLine(entry.path() / "type"));
        auto maximum = number(entry.path() / "max_brightness");
        if (!rank || !maximum || *maximum == 0) continue;
        const bool raw = *rank == 2;
        const fs::path parent = entry.path() / "device";
        // A DRM connector has a status; ACPI and platform parents do not.
        if (fs::exists(parent / "status", error)) {
            if (!sameMonitor(bytes(parent / "edid"), edid)) continue;
            // A raw device behind a connector that is switched off (a closed lid with an
            // external monitor, a second GPU's panel output) lights nothing.
            if (raw && firstLine(parent / "enabled") != "enabled") continue;
        } else if (!soleBuiltIn) {
            continue;
        }
        Device device{entry.path().filename().string(), entry.path(), raw, *maximum};
        if (!best || std::pair(*rank, device.name) < std::pair(best->first, best->second.name))
            best.emplace(*rank, std::move(device));
    }
    if (!best) return std::nullopt;
    return std::move(best->second);
}

std::optional<std::string> SysfsBacklight::device(std::span<const std::uint8_t> edid, bool soleBuiltIn) {
    auto chosen = choose(edid, soleBuiltIn);
    if (!chosen) return std::nullopt;
    return chosen->name;
}

std::optional<double> SysfsBacklight::brightness(std::span<const std::uint8_t> edid, bool soleBuiltIn) {
    auto chosen = choose(edid, soleBuiltIn);
    if (!chosen) return std::nullopt;
    // actual_brightness is what the hardware shows; brightness is only the last request.
    auto value = number(chosen->directory / "actual_brightness");
    if (!value) value = number(chosen->directory / "brightness");
    if (!value) return std::nullopt;
    return std::min(1.0, double(*value) / double(chosen->maximum));
}

bool SysfsBacklight::setBrightness(std::span<const std::uint8_t> edid, bool soleBuiltIn, double level) {
    auto chosen = choose(edid, soleBuiltIn);
    if (!chosen || !std::isfinite(level)) return false;
    // Zero on a raw device switches many panels fully off, which the user cannot undo
    // by looking at the screen.
    const double lowest = chosen->raw ? 1.0 : 0.0;
    const auto value = static_cast<std::uint32_t>(
        std::clamp(std::round(std::clamp(level, 0.0, 1.0) * chosen->maximum), lowest, double(chosen->maximum)));
    const int file = ::open((chosen->directory / "brightness").c_str(), O_WRONLY | O_CLOEXEC);
    if (file < 0) return writer_ && writer_->write(chosen->name, value);
    const std::string text = std::to_string(value) + "\n";
    const bool written = ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(file);
    return written;
}

} // namespace tavelin

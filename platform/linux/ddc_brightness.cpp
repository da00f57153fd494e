#include "platform/linux/ddc_brightness.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>

#include <dlfcn.h>
#include <unistd.h>

namespace tavelin {

namespace {

// The part of libddcutil 1.4's C interface that we call, declared as its ddcutil_types.h
// lays it out (the library is loaded at run time and has no headers here).
namespace ddca {

using Status = int;
using DisplayRef = void*;
using DisplayHandle = void*;

struct IOPath {
    int mode;
    union {
        int i2cBus;
        struct {
            int adapter;
            int display;
        } adl;
        int hidDevice;
    } path;
};

struct DisplayInfo {
    char marker[4];
    int number;
    IOPath path;
    int usbBus;
    int usbDevice;
    char manufacturer[4];
    char model[14];
    char serial[14];
    std::uint16_t productCode;
    std::uint8_t edid[128];
    std::uint8_t vcpVersion[2];
    DisplayRef reference;
};

struct DisplayInfoList {
    int count;
    DisplayInfo info[1]; // a flexible array in C
};

struct NonTableValue {
    std::uint8_t mh, ml, sh, sl;
};

} // namespace ddca

class DDCUtil final : public DDCBus {
public:
    static std::unique_ptr<DDCUtil> open(const std::string& name) {
        // Without a readable I2C device node ddcutil can only complain (the user is not
        // in the i2c group, or the i2c-dev module is not loaded); it does so already
        // when loaded, so it is not loaded then.
        if (!anyI2CAccess()) return nullptr;
        void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) return nullptr;
        auto bus = std::unique_ptr<DDCUtil>(new DDCUtil(library));
        if (!bus->bind()) return nullptr;
        return bus;
    }

    ~DDCUtil() override {
        if (list_) freeList_(list_);
        ::dlclose(library_);
    }

    std::vector<EDID> detect() override {
        std::vector<EDID> found;
        if (list_) freeList_(std::exchange(list_, nullptr));
        if (getList_(false, &list_) != 0 || !list_) return found;
        for (int i = 0; i < list_->count; ++i) {
            EDID edid;
            std::copy_n(list_->info[i].edid, edid.size(), edid.begin());
            found.push_back(edid);
        }
        return found;
    }

    std::optional<Value> read(std::size_t monitor, std::uint8_t feature) override {
        std::optional<Value> answer;
        withDisplay(monitor, [&](ddca::DisplayHandle display) {
            ddca::NonTableValue value{};
            if (getValue_(display, feature, &value) != 0) return false;
            answer = Value{std::uint16_t(value.sh << 8 | value.sl), std::uint16_t(value.mh << 8 | value.ml)};
            return true;
        });
        return answer;
    }

    bool write(std::size_t monitor, std::uint8_t feature, std::uint16_t value) override {
        return withDisplay(monitor, [&](ddca::DisplayHandle display) {
            return setValue_(display, feature, std::uint8_t(value >> 8), std::uint8_t(value & 0xff)) == 0;
        });
    }

private:
    explicit DDCUtil(void* library) : library_(library) {}

    template <class Function>
    bool symbol(Function& function, const char* name) {
        function = reinterpret_cast<Function>(::dlsym(library_, name));
        return function != nullptr;
    }

    bool bind() {
        return symbol(getList_, "ddca_get_display_info_list2") && symbol(freeList_, "ddca_free_display_info_list") &&
               symbol(open_, "ddca_open_display2") && symbol(close_, "ddca_close_display") &&
               symbol(getValue_, "ddca_get_non_table_vcp_value") && symbol(setValue_, "ddca_set_non_table_vcp_value");
    }

    static bool anyI2CAccess() {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
            if (entry.path().filename().string().starts_with("i2c-") &&
                ::access(entry.path().c_str(), R_OK | W_OK) == 0)
                return true;
        }
        return false;
    }

    // A handle is opened for each exchange: handles belong to the thread that opened
    // them, and detection and writes run on different threads.
    template <class Exchange>
    bool withDisplay(std::size_t monitor, Exchange exchange) {
        if (!list_ || monitor >= std::size_t(list_->count)) return false;
        ddca::DisplayHandle display = nullptr;
        if (open_(list_->info[monitor].reference, false, &display) != 0 || !display) return false;
        const bool done = exchange(display);
        close_(display);
        return done;
    }

    void* library_;
    ddca::DisplayInfoList* list_ = nullptr;
    ddca::Status (*getList_)(bool, ddca::DisplayInfoList**) = nullptr;
    void (*freeList_)(ddca::DisplayInfoList*) = nullptr;
    ddca::Status (*open_)(ddca::DisplayRef, bool, ddca::DisplayHandle*) = nullptr;
    ddca::Status (*close_)(ddca::DisplayHandle) = nullptr;
    ddca::Status (*getValue_)(ddca::DisplayHandle, std::uint8_t, ddca::NonTableValue*) = nullptr;
    ddca::Status (*setValue_)(ddca::DisplayHandle, std::uint8_t, std::uint8_t, std::uint8_t) = nullptr;
};

} // namespace

std::unique_ptr<DDCBus> openDDCUtil(const std::string& library) { return DDCUtil::open(library); }

DDCBrightness::DDCBrightness(std::unique_ptr<DDCBus> bus, std::function<void()> detected)
    : bus_(std::move(bus)), detected_(std::move(detected)) {
    detection_ = std::thread([this] { detect(); });
}

DDCBrightness::~DDCBrightness() { detection_.join(); }

void DDCBrightness::detect() {
    std::vector<Monitor> answered;
    if (bus_) {
        const auto found = bus_->detect();
        for (std::size_t i = 0; i < found.size(); ++i) {
            auto value = bus_->read(i, luminance);
            if (value && value->maximum > 0) answered.push_back({i, found[i], *value});
        }
    }
    {
        std::lock_guard lock(mutex_);
        monitors_ = std::move(answered);
        ready_ = true;
    }
    if (detected_) detected_();
}

DDCBrightness::Monitor* DDCBrightness::find(std::span<const std::uint8_t> edid) {
    if (!ready_ || edid.size() < DDCBus::EDID{}.size()) return nullptr;
    auto match = std::find_if(monitors_.begin(), monitors_.end(), [&](const Monitor& monitor) {
        return std::equal(monitor.edid.begin(), monitor.edid.end(), edid.begin());
    });
    return match == monitors_.end() ? nullptr : &*match;
}

std::optional<double> DDCBrightness::brightness(std::span<const std::uint8_t> edid) {
    std::lock_guard lock(mutex_);
    const Monitor* monitor = find(edid);
    if (!monitor) return std::nullopt;
    return std::min(1.0, double(monitor->value.current) / monitor->value.maximum);
}

bool DDCBrightness::setBrightness(std::span<const std::uint8_t> edid, double level) {
    std::lock_guard lock(mutex_);
    Monitor* monitor = find(edid);
    if (!monitor || !std::isfinite(level)) return false;
    const auto value = static_cast<std::uint16_t>(std::lround(std::clamp(level, 0.0, 1.0) * monitor->value.maximum));
    if (!bus_->write(monitor->index, luminance, value)) return false;
    monitor->value.current = value;
    return true;
}

} // namespace tavelin

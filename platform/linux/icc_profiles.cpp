#include "platform/linux/icc_profiles.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <system_error>
#include <tuple>

#include <lcms2.h>
#include <lcms2_plugin.h>

namespace tavelin {

namespace fs = std::filesystem;

namespace {

struct CloseProfile {
    void operator()(void* profile) const noexcept { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, CloseProfile>;

// lcms2 believes the counts a profile gives: a 4 KiB file whose description claims
// millions of translations had it allocate and clear hundreds of megabytes, for seconds,
// each time the description was read. No display profile needs a block of more than a
// few megabytes, so the profiles we read get an allocator that refuses larger ones, and
// lcms2 treats the profile as broken.
constexpr cmsUInt32Number largestBlock = 16u << 20;

void* boundedMalloc(cmsContext, cmsUInt32Number size) { return size <= largestBlock ? std::malloc(size) : nullptr; }
void boundedFree(cmsContext, void* block) { std::free(block); }
void* boundedRealloc(cmsContext, void* block, cmsUInt32Number size) {
    return size <= largestBlock ? std::realloc(block, size) : nullptr;
}

cmsContext boundedContext() {
    static cmsPluginMemHandler allocator{{cmsPluginMagicNumber, 2000, cmsPluginMemHandlerSig, nullptr},
                                         boundedMalloc, boundedFree, boundedRealloc, nullptr, nullptr, nullptr};
    static const cmsContext context = cmsCreateContext(&allocator, nullptr);
    return context;
}

Profile openProfile(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return {};
    return Profile(cmsOpenProfileFromMemTHR(boundedContext(), bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
}

bool isDisplayRGB(cmsHPROFILE profile) {
    return cmsGetDeviceClass(profile) == cmsSigDisplayClass && cmsGetColorSpace(profile) == cmsSigRgbData;
}

std::string description(cmsHPROFILE profile) {
    const cmsUInt32Number size = cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", nullptr, 0);
    if (size <= 1) return {};
    std::string text(size, '\0');
    cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", text.data(), size);
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool hasProfileExtension(const fs::path& file) {
    const std::string extension = lowered(file.extension().string());
    return extension == ".icc" || extension == ".icm";
}

fs::path environmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value && *value == '/' ? fs::path(value) : fs::path();
}

} // namespace

std::vector<fs::path> iccProfileFolders() {
    const fs::path home = environmentPath("HOME");
    fs::path dataHome = environmentPath("XDG_DATA_HOME");
    if (dataHome.empty() && !home.empty()) dataHome = home / ".local/share";

    std::vector<fs::path> folders;
    if (!dataHome.empty()) {
        folders.push_back(dataHome / "icc");
        folders.push_back(dataHome / "color/icc");
    }
    if (!home.empty()) folders.push_back(home / ".color/icc");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        const std::string entry = list.substr(start, end - start);
        // Relative entries are invalid in the XDG lists and are ignored.
        if (!entry.empty() && entry.front() == '/') folders.push_back(fs::path(entry) / "color/icc");
        start = end + 1;
    }
    folders.emplace_back("/var/lib/color/icc");
    folders.emplace_back("/var/lib/colord/icc");
    return folders;
}

std::vector<std::uint8_t> readFileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<ColorProfileFile> readDisplayProfile(const fs::path& file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return std::nullopt;
    const auto bytes = readFileBytes(file);
    const Profile profile = openProfile(bytes);
    if (!profile || !isDisplayRGB(profile.get())) return std::nullopt;
    std::string name = description(profile.get());
    if (name.empty()) name = file.filename().string();
    return ColorProfileFile{std::move(name), file};
}

bool isDisplayProfile(std::span<const std::uint8_t> bytes) {
    const Profile profile = openProfile(bytes);
    return profile && isDisplayRGB(profile.get());
}

std::string profileDescription(std::span<const std::uint8_t> bytes) {
    const Profile profile = openProfile(bytes);
    return profile ? description(profile.get()) : std::string();
}

std::vector<ColorProfileFile> listDisplayProfiles(const std::vector<fs::path>& folders) {
    std::vector<ColorProfileFile> found;
    std::set<fs::path> seenFiles;
    std::set<fs::path> seenFolders;
    const auto options = fs::directory_options::follow_directory_symlink | fs::directory_options::skip_permission_denied;
    for (const auto& folder : folders) {
        std::error_code error;
        const fs::path top = fs::canonical(folder, error);
        // A folder listed twice, or inside another listed one, is walked once.
        if (error || !seenFolders.insert(top).second) continue;
        fs::recursive_directory_iterator walk(folder, options, error);
        for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
            const fs::directory_entry& entry = *walk;
            const bool hidden = entry.path().filename().string().starts_with('.');
            std::error_code statError;
            if (entry.is_directory(statError)) {
                // Links may lead back up the tree; each real folder is entered once.
                const fs::path real = fs::canonical(entry.path(), statError);
                if (hidden || statError || !seenFolders.insert(real).second) walk.disable_recursion_pending();
                continue;
            }
            if (hidden || !hasProfileExtension(entry.path())) continue;
            const fs::path real = fs::canonical(entry.path(), statError);
            if (statError || seenFiles.contains(real)) continue;
            if (auto profile = readDisplayProfile(entry.path())) {
                seenFiles.insert(real);
                found.push_back(std::move(*profile));
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const ColorProfileFile& a, const ColorProfileFile& b) {
        return std::forward_as_tuple(lowered(a.name), a.file) < std::forward_as_tuple(lowered(b.name), b.file);
    });
    return found;
}

std::optional<GammaRamps> calibrationRamps(std::span<const std::uint8_t> bytes, std::size_t size) {
    const Profile profile = openProfile(bytes);
    if (!profile || size < 2) return std::nullopt;
    const auto* curves = static_cast<cmsToneCurve* const*>(cmsReadTag(profile.get(), cmsSigVcgtTag));
    if (!curves || !curves[0] || !curves[1] || !curves[2]) return std::nullopt;
    GammaRamps ramps;
    for (std::size_t channel = 0; channel < 3; ++channel) {
        ramps[channel].resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            const float x = static_cast<float>(i) / static_cast<float>(size - 1);
            const float y = std::clamp(cmsEvalToneCurveFloat(curves[channel], x), 0.0f, 1.0f);
            ramps[channel][i] = static_cast<std::uint16_t>(std::lround(y * 65535.0f));
        }
    }
    return ramps;
}

GammaRamps linearRamps(std::size_t size) {
    GammaRamps ramps;
    for (auto& ramp : ramps) {
        ramp.resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            ramp[i] = size < 2 ? 0 : static_cast<std::uint16_t>(i * 65535 / (size - 1));
        }
    }
    return ramps;
}

} // namespace tavelin

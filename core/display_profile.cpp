#include "core/display_profile.hpp"

#include <limits>

#include <nlohmann/json.hpp>

#include "core/unicode_text.hpp"

namespace tavelin {

namespace {

using Json = nlohmann::json;

constexpr std::size_t maximumNameLength = 80;

// Strict reads: the value must have exactly the JSON type of the field. A key that is
// present but wrong, or a required key that is missing, fails the whole list.
struct Invalid {};

const Json& required(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) throw Invalid{};
    return *found;
}

const Json* optional(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

std::int64_t integer(const Json& value, std::int64_t minimum, std::int64_t maximum) {
    std::int64_t result;
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        result = value.get<std::int64_t>();
    } else if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw Invalid{};
        }
        result = static_cast<std::int64_t>(unsignedValue);
    } else {
        throw Invalid{};
    }
    if (result < minimum || result > maximum) throw Invalid{};
    return result;
}

std::int64_t int64(const Json& value) {
    return integer(value, std::numeric_limits<std::int64_t>::min(),
                   std::numeric_limits<std::int64_t>::max());
}

std::int32_t int32(const Json& value) {
    return static_cast<std::int32_t>(integer(value, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max()));
}

bool boolean(const Json& value) {
    if (!value.is_boolean()) throw Invalid{};
    return value.get<bool>();
}

const std::string& string(const Json& value) {
    if (!value.is_string()) throw Invalid{};
    return value.get_ref<const std::string&>();
}

DisplayProfile decodeProfile(const Json& object) {
    if (!object.is_object()) throw Invalid{};
    const auto id = UUID::parse(string(required(object, "id")));
    if (!id) throw Invalid{};
    DisplayProfile profile(*id, string(required(object, "name")), int64(required(object, "width")),
                           int64(required(object, "height")), int64(required(object, "refreshRate")),
                           int64(required(object, "bitrateMbps")),
                           boolean(required(object, "hiDPI")), boolean(required(object, "enabled")));
    if (const auto* value = optional(object, "originX")) profile.originX = int32(*value);
    if (const auto* value = optional(object, "originY")) profile.originY = int32(*value);
    if (const auto* value = optional(object, "mirrorMain")) profile.mirrorMain = boolean(*value);
    return profile;
}

} // namespace

DisplayConfiguration DisplayProfile::validated() const {
    return DisplayConfiguration(width, height, refreshRate, bitrateMbps, hiDPI);
}

std::optional<std::string> DisplayProfile::validateName(std::string_view name) {
    if (!unicode::isValidUTF8(name)) return std::nullopt;
    const auto trimmed = unicode::trimWhiteSpaceAndNewlines(name);
    if (trimmed.empty()) return std::nullopt;
    const auto length = unicode::graphemeCount(trimmed);
    if (!length || *length > maximumNameLength) return std::nullopt;
    if (unicode::containsControlOrFormat(trimmed)) return std::nullopt;
    return std::string(trimmed);
}

std::optional<std::string> encodeDisplayProfiles(const std::vector<DisplayProfile>& profiles) {
    // Keys are written in a fixed, readable order; readers accept any order.
    auto array = nlohmann::ordered_json::array();
    for (const auto& profile : profiles) {
        nlohmann::ordered_json object = {
            {"id", profile.id().uuidString()},
            {"name", profile.name},
            {"width", profile.width},
            {"height", profile.height},
            {"refreshRate", profile.refreshRate},
            {"bitrateMbps", profile.bitrateMbps},
            {"hiDPI", profile.hiDPI},
            {"enabled", profile.enabled},
        };
        if (profile.originX) object["originX"] = *profile.originX;
        if (profile.originY) object["originY"] = *profile.originY;
        if (profile.mirrorMain) object["mirrorMain"] = *profile.mirrorMain;
        array.push_back(std::move(object));
    }
    try {
        return array.dump();
    } catch (const nlohmann::json::type_error&) {
        return std::nullopt; // a name that is not valid UTF-8
    }
}

std::optional<std::vector<DisplayProfile>> decodeDisplayProfiles(std::string_view json) {
    const auto document = Json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!document.is_array()) return std::nullopt; // also the discarded value of a parse error
    std::vector<DisplayProfile> profiles;
    profiles.reserve(document.size());
    try {
        for (const auto& element : document) profiles.push_back(decodeProfile(element));
    } catch (const Invalid&) {
        return std::nullopt;
    }
    return profiles;
}

} // namespace tavelin

#include "core/settings_store.hpp"

#include <array>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "core/log.hpp"
#include "core/atomic_file.hpp"
#include "core/unicode_text.hpp"
#include "core/user_folders.hpp"

namespace tavelin {

namespace impl {

std::optional<std::string> TypedSettingsStore::data(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    if (const auto* value = std::get_if<Data>(&found->second)) return value->bytes;
    return std::nullopt;
}

std::optional<std::string> TypedSettingsStore::text(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    if (const auto* value = std::get_if<std::string>(&found->second)) return *value;
    return std::nullopt;
}

bool TypedSettingsStore::boolean(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) return false;
    const auto* value = std::get_if<bool>(&found->second);
    return value && *value;
}

template <typename Change>
void TypedSettingsStore::change(Change&& apply) {
    // Holding changeMutex_ through changed() keeps two writers from persisting their
    // snapshots in the opposite order of their changes.
    std::lock_guard changing(changeMutex_);
    SettingsMap snapshot;
    {
        std::lock_guard lock(mutex_);
        apply(values_);
        snapshot = values_;
    }
    changed(snapshot);
}

void TypedSettingsStore::setData(std::string_view key, std::string_view bytes) {
    change([&](SettingsMap& values) { values.insert_or_assign(std::string(key), Data{std::string(bytes)}); });
}

void TypedSettingsStore::setText(std::string_view key, std::string_view text) {
    change([&](SettingsMap& values) { values.insert_or_assign(std::string(key), std::string(text)); });
}

void TypedSettingsStore::setBoolean(std::string_view key, bool value) {
    change([&](SettingsMap& values) { values.insert_or_assign(std::string(key), value); });
}

void TypedSettingsStore::remove(std::string_view key) {
    change([&](SettingsMap& values) {
        if (const auto found = values.find(key); found != values.end()) values.erase(found);
    });
}

void TypedSettingsStore::apply(const SettingsChanges& changes) {
    change([&](SettingsMap& values) {
        for (const auto& [key, value] : changes.entries()) values.insert_or_assign(key, value);
    });
}

void TypedSettingsStore::replace(SettingsMap values) {
    std::lock_guard lock(mutex_);
    values_ = std::move(values);
}

} // namespace impl

SettingsChanges& SettingsChanges::setData(std::string_view key, std::string_view bytes) {
    entries_.emplace_back(std::string(key), impl::Data{std::string(bytes)});
    return *this;
}

SettingsChanges& SettingsChanges::setText(std::string_view key, std::string_view text) {
    entries_.emplace_back(std::string(key), std::string(text));
    return *this;
}

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

// A stored file larger than this is not a settings file of ours.
constexpr std::uintmax_t maximumFileSize = 64u << 20;

constexpr char base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16 |
                                                  static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                                  static_cast<unsigned char>(bytes[i + 2]));
        out.push_back(base64Alphabet[n >> 18 & 63]);
        out.push_back(base64Alphabet[n >> 12 & 63]);
        out.push_back(base64Alphabet[n >> 6 & 63]);
        out.push_back(base64Alphabet[n & 63]);
    }
    if (const auto rest = bytes.size() - i; rest > 0) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16);
        if (rest == 2) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]) << 8);
        out.push_back(base64Alphabet[n >> 18 & 63]);
        out.push_back(base64Alphabet[n >> 12 & 63]);
        out.push_back(rest == 2 ? base64Alphabet[n >> 6 & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::array<int, 256> values;
    values.fill(-1);
    for (int v = 0; v < 64; ++v) values[static_cast<unsigned char>(base64Alphabet[v])] = v;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (padding == 1 && text[i + 2] == '=') return std::nullopt; // "x=" then a digit
        std::uint32_t n = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const int v = j >= 4u - static_cast<std::size_t>(padding)
                              ? 0
                              : values[static_cast<unsigned char>(text[i + j])];
            if (v < 0) return std::nullopt;
            n = n << 6 | static_cast<std::uint32_t>(v);
        }
        out.push_back(static_cast<char>(n >> 16 & 0xFF));
        if (padding < 2) out.push_back(static_cast<char>(n >> 8 & 0xFF));
        if (padding < 1) out.push_back(static_cast<char>(n & 0xFF));
    }
    return out;
}

// The whole file, or nothing when it cannot be read (too large, no permission, an I/O
// error).
std::optional<std::string> readFile(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error || size > maximumFileSize) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return content;
}

} // namespace

namespace impl {

std::optional<SettingsMap> decodeSettingsFile(std::string_view content) {
    const auto document = Json::parse(content, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return std::nullopt;
    impl::SettingsMap values;
    for (const auto& [key, value] : document.items()) {
        if (value.is_boolean()) {
            values.emplace(key, value.get<bool>());
        } else if (value.is_string()) {
            values.emplace(key, value.get<std::string>());
        } else if (value.is_object() && value.size() == 1 && value.begin().value().is_string()) {
            const auto& kind = value.begin().key();
            auto bytes = base64Decode(value.begin().value().get_ref<const std::string&>());
            if (bytes && kind == "data") values.emplace(key, impl::Data{std::move(*bytes)});
            if (bytes && kind == "text") values.emplace(key, std::move(*bytes));
        }
        // Anything else was not written by us; it is left out.
    }
    return values;
}

std::string encodeSettingsFile(const SettingsMap& values) {
    auto document = Json::object();
    for (const auto& [key, value] : values) {
        std::visit(
            [&, &key = key](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, impl::Data>) {
                    document[key] = Json{{"data", base64Encode(v.bytes)}};
                } else if constexpr (std::is_same_v<T, std::string>) {
                    // Text that is not UTF-8 cannot be a JSON string; it is kept as bytes.
                    if (unicode::isValidUTF8(v)) {
                        document[key] = v;
                    } else {
                        document[key] = Json{{"text", base64Encode(v)}};
                    }
                } else {
                    document[key] = v;
                }
            },
            value);
    }
    // Keys come from our own code; a key that is not UTF-8 is replaced rather than failing.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace impl

FileSettingsStore::FileSettingsStore(std::filesystem::path path, ErrorHandler onError)
    : path_(std::move(path)), onError_(std::move(onError)) {
    if (!onError_) {
        onError_ = [](const std::string& message) { log::error(message); };
    }
    load();
}

std::filesystem::path FileSettingsStore::defaultPath() {
    return xdgFolder("XDG_CONFIG_HOME", ".config") / "tavelin" / "defaults.json";
}

void FileSettingsStore::load() {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path_, error))) return;
    if (const auto content = readFile(path_)) {
        if (auto values = impl::decodeSettingsFile(*content)) {
            replace(std::move(*values));
            return;
        }
    }
    // A file we cannot use is kept for the user instead of being erased by the next save.
    fs::rename(path_, fs::path(path_.string() + ".corrupt"), error);
}

void FileSettingsStore::changed(const impl::SettingsMap& values) {
    if (const auto failure = writeFileAtomically(path_, impl::encodeSettingsFile(values))) {
        onError_("Could not save settings to " + path_.string() + ": " + *failure);
    }
}

} // namespace tavelin

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "core/display_list_store.hpp"
#include "core/settings_store.hpp"
#include "fuzz_check.hpp"

// The settings file as the program reads it at start: decoded into the store, then the
// saved displays and their selection loaded from it as the model does.
namespace {

using namespace tavelin;

// Holds what was decoded, as the file store does once it has read its file.
struct DecodedStore final : impl::TypedSettingsStore {
    explicit DecodedStore(impl::SettingsMap values) { replace(std::move(values)); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const auto values = impl::decodeSettingsFile(std::string_view(reinterpret_cast<const char*>(bytes), size));
    if (!values) return 0;

    // The next save writes what was read; the start after it must read the same store.
    const auto encoded = impl::encodeSettingsFile(*values);
    const auto decoded = impl::decodeSettingsFile(encoded);
    FUZZ_REQUIRE(decoded && *decoded == *values);
    FUZZ_REQUIRE(impl::encodeSettingsFile(*decoded) == encoded);

    DecodedStore store(*values);
    std::uint8_t drawn = 0;
    const auto newID = [&] { return UUID::version4(UUID::Bytes{++drawn}); };
    const auto list = loadDisplayList(store, newID);
    FUZZ_REQUIRE(store.boolean(defaultNameMigrationKey));
    // The list and its selection, saved and loaded again, are what was loaded.
    saveDisplayList(store, list.profiles, list.selectedDisplayID);
    const auto again = loadDisplayList(store, newID);
    FUZZ_REQUIRE(again.profiles == list.profiles);
    if (!list.profiles.empty()) FUZZ_REQUIRE(again.selectedDisplayID == list.selectedDisplayID);
    return 0;
}

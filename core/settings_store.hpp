#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tavelin {

namespace impl {

struct Data {
    std::string bytes;
    friend bool operator==(const Data&, const Data&) = default;
};
using SettingsValue = std::variant<Data, std::string, bool>;
using SettingsMap = std::map<std::string, SettingsValue, std::less<>>;

} // namespace impl

// Changes of several keys that are made as one: see SettingsStore::apply.
class SettingsChanges {
public:
    SettingsChanges& setData(std::string_view key, std::string_view bytes);
    SettingsChanges& setText(std::string_view key, std::string_view text);

    // Each key with its new value; in order, a later one wins.
    const std::vector<std::pair<std::string, impl::SettingsValue>>& entries() const { return entries_; }

private:
    std::vector<std::pair<std::string, impl::SettingsValue>> entries_;
};

// The application's user-defaults domain: small typed values by key. A value read
// with the wrong type reads as absent (a boolean as false).
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual std::optional<std::string> data(std::string_view key) const = 0;
    virtual std::optional<std::string> text(std::string_view key) const = 0;
    virtual bool boolean(std::string_view key) const = 0;

    virtual void setData(std::string_view key, std::string_view bytes) = 0;
    virtual void setText(std::string_view key, std::string_view text) = 0;
    virtual void setBoolean(std::string_view key, bool value) = 0;
    virtual void remove(std::string_view key) = 0;
    // Makes all the changes at once: no reader, and no file a crash leaves, sees some of
    // them without the others.
    virtual void apply(const SettingsChanges& changes) = 0;
};

namespace impl {

// The typed map both stores keep in memory; thread-safe. Every change is handed to
// changed() with a copy of the whole map, in the order the changes were made.
class TypedSettingsStore : public SettingsStore {
public:
    std::optional<std::string> data(std::string_view key) const override;
    std::optional<std::string> text(std::string_view key) const override;
    bool boolean(std::string_view key) const override;
    void setData(std::string_view key, std::string_view bytes) override;
    void setText(std::string_view key, std::string_view text) override;
    void setBoolean(std::string_view key, bool value) override;
    void remove(std::string_view key) override;
    void apply(const SettingsChanges& changes) override;

protected:
    virtual void changed(const SettingsMap& values) { static_cast<void>(values); }
    void replace(SettingsMap values);

private:
    template <typename Change>
    void change(Change&& apply);

    mutable std::mutex mutex_;
    std::mutex changeMutex_; // held from a change until changed() returns
    SettingsMap values_;
};

// The settings file's JSON and back. Decoding gives nothing for a document that is not
// an object and leaves out every value we would not have written.
std::optional<SettingsMap> decodeSettingsFile(std::string_view content);
std::string encodeSettingsFile(const SettingsMap& values);

} // namespace impl

// A store that lives only as long as the object; for tests and ephemeral runs.
class MemorySettingsStore final : public impl::TypedSettingsStore {};

// One JSON file, read once when the store is opened and rewritten whole after every
// change: written to a temporary file beside it, flushed to disk and renamed over it,
// so a crash leaves either the old or the new file. The file has mode 0600; missing
// folders are created 0700. A missing file reads as an empty store; one that cannot be
// read or decoded also does, and is kept aside as "<name>.corrupt" so that the next save
// does not destroy it.
class FileSettingsStore final : public impl::TypedSettingsStore {
public:
    // Called with one sentence when the file cannot be written; the value stays in
    // memory either way. The default writes the sentence to stderr.
    using ErrorHandler = std::function<void(const std::string&)>;

    explicit FileSettingsStore(std::filesystem::path path, ErrorHandler onError = {});

    // $XDG_CONFIG_HOME/tavelin/defaults.json, or ~/.config/tavelin/defaults.json.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& path() const { return path_; }

private:
    void load();
    void changed(const impl::SettingsMap& values) override;

    std::filesystem::path path_;
    ErrorHandler onError_;
};

} // namespace tavelin

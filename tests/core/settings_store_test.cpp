#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "core/settings_store.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "tavelin-settings-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, ignored);
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Both stores must behave the same through the interface.
template <typename Store>
class SettingsStoreContract : public testing::Test {
protected:
    std::unique_ptr<SettingsStore> make() {
        if constexpr (std::is_same_v<Store, FileSettingsStore>) {
            return std::make_unique<FileSettingsStore>(folder_.path() / "defaults.json");
        } else {
            return std::make_unique<MemorySettingsStore>();
        }
    }
    TemporaryFolder folder_;
};

using Stores = testing::Types<MemorySettingsStore, FileSettingsStore>;
TYPED_TEST_SUITE(SettingsStoreContract, Stores);

TYPED_TEST(SettingsStoreContract, ValuesAreTypedByKey) {
    auto store = this->make();
    EXPECT_FALSE(store->data("a"));
    EXPECT_FALSE(store->text("a"));
    EXPECT_FALSE(store->boolean("a"));

    const std::string bytes("\x00\xFF[1]", 5);
    store->setData("data", bytes);
    store->setText("text", "caf\xC3\xA9");
    store->setBoolean("flag", true);
    EXPECT_EQ(store->data("data"), bytes);
    EXPECT_EQ(store->text("text"), "caf\xC3\xA9");
    EXPECT_TRUE(store->boolean("flag"));
    // A value read as another type reads as absent.
    EXPECT_FALSE(store->text("data"));
    EXPECT_FALSE(store->data("text"));
    EXPECT_FALSE(store->boolean("text"));

    store->setText("data", "replaced");
    EXPECT_FALSE(store->data("data"));
    EXPECT_EQ(store->text("data"), "replaced");
    store->remove("flag");
    EXPECT_FALSE(store->boolean("flag"));
    store->setData("empty", "");
    EXPECT_EQ(store->data("empty"), "");
    // Text that is not UTF-8 comes back byte for byte.
    store->setText("bytes", "a\xFF");
    EXPECT_EQ(store->text("bytes"), "a\xFF");
}

TEST(FileSettingsStore, TextThatIsNotUTF8SurvivesReopening) {
    TemporaryFolder folder;
    const auto path = folder.path() / "defaults.json";
    FileSettingsStore(path).setText("k", "a\xFF");
    EXPECT_EQ(FileSettingsStore(path).text("k"), "a\xFF");
}

TEST(FileSettingsStore, ValuesSurviveReopening) {
    TemporaryFolder folder;
    const auto path = folder.path() / "nested" / "tavelin" / "defaults.json";
    // Every length modulo three exercises the base64 padding.
    const std::vector<std::string> blobs{"", "a", "ab", "abc", std::string("\x00\x01\xFE\xFF", 4)};
    {
        FileSettingsStore store(path);
        for (std::size_t i = 0; i < blobs.size(); ++i) store.setData("blob" + std::to_string(i), blobs[i]);
        store.setText("text", "line\nbreak \"quoted\"");
        store.setBoolean("yes", true);
        store.setBoolean("no", false);
    }
    FileSettingsStore reopened(path);
    for (std::size_t i = 0; i < blobs.size(); ++i) EXPECT_EQ(reopened.data("blob" + std::to_string(i)), blobs[i]);
    EXPECT_EQ(reopened.text("text"), "line\nbreak \"quoted\"");
    EXPECT_TRUE(reopened.boolean("yes"));
    EXPECT_FALSE(reopened.boolean("no"));

    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Every folder the store had to create is private, not only the last one.
    for (const auto& folderPath : {path.parent_path(), path.parent_path().parent_path()}) {
        ASSERT_EQ(::stat(folderPath.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << folderPath;
    }
    // No temporary files are left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
}

TEST(FileSettingsStore, DamagedFileReadsEmptyAndIsKeptAside) {
    const std::string valid = R"({"k": "v", "d": {"data": "YWJj"}, "b": true})";
    struct Case {
        const char* what;
        std::string content;
    };
    for (const auto& c : {Case{"truncated", valid.substr(0, valid.size() / 2)}, Case{"empty", ""},
                          Case{"garbage", std::string("\x7F" "ELF\x00\x01", 6)}, Case{"array", "[1, 2]"},
                          Case{"not UTF-8", "{\"k\": \"\xFF\"}"}}) {
        TemporaryFolder folder;
        const auto path = folder.path() / "defaults.json";
        writeAll(path, c.content);
        FileSettingsStore store(path);
        EXPECT_FALSE(store.text("k")) << c.what;
        EXPECT_EQ(readAll(fs::path(path.string() + ".corrupt")), c.content) << c.what;
        store.setText("k", "new");
        EXPECT_EQ(FileSettingsStore(path).text("k"), "new") << c.what;
    }
}

TEST(FileSettingsStore, FileTooLargeToReadIsKeptAside) {
    TemporaryFolder folder;
    const auto path = folder.path() / "defaults.json";
    writeAll(path, R"({"keep": "me"})");
    fs::resize_file(path, (64u << 20) + 1); // sparse: cheap to make
    FileSettingsStore store(path);
    EXPECT_FALSE(store.text("keep"));
    store.setText("k", "v");
    EXPECT_EQ(fs::file_size(path.string() + ".corrupt"), (64u << 20) + 1);
}

TEST(FileSettingsStore, ForeignEntriesAreSkippedOthersKept) {
    TemporaryFolder folder;
    const auto path = folder.path() / "defaults.json";
    writeAll(path, R"({"n": 5, "bad64": {"data": "Y=Jj"}, "obj": {"x": 1}, "good": {"data": "YWI="}, "t": "x"})");
    FileSettingsStore store(path);
    EXPECT_FALSE(store.data("bad64"));
    EXPECT_FALSE(store.text("n"));
    EXPECT_EQ(store.data("good"), "ab");
    EXPECT_EQ(store.text("t"), "x");
    EXPECT_FALSE(fs::exists(path.string() + ".corrupt"));
}

TEST(FileSettingsStore, UnwritableLocationKeepsValuesAndReports) {
    TemporaryFolder folder;
    // A file where the folder should be refuses every write, even to root.
    writeAll(folder.path() / "tavelin", "not a folder");
    std::vector<std::string> errors;
    FileSettingsStore store(folder.path() / "tavelin" / "defaults.json",
                            [&](const std::string& e) { errors.push_back(e); });
    store.setText("k", "kept");
    store.setBoolean("b", true);
    EXPECT_EQ(store.text("k"), "kept");
    EXPECT_TRUE(store.boolean("b"));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("Could not save settings to "), std::string::npos) << errors[0];
}

TEST(FileSettingsStore, SomethingElseAtThePathIsKeptAside) {
    TemporaryFolder folder;
    const auto path = folder.path() / "defaults.json";
    fs::create_directory(path);
    writeAll(path / "inside", "x");
    FileSettingsStore store(path);
    EXPECT_FALSE(store.text("k"));
    store.setText("k", "v");
    EXPECT_EQ(FileSettingsStore(path).text("k"), "v");
    EXPECT_EQ(readAll(fs::path(path.string() + ".corrupt") / "inside"), "x");
}

TEST(FileSettingsStore, ConcurrentWritersLoseNothing) {
    TemporaryFolder folder;
    const auto path = folder.path() / "defaults.json";
    {
        FileSettingsStore store(path);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&store, t] {
                for (int i = 0; i < 10; ++i) store.setText("k" + std::to_string(t * 10 + i), std::to_string(i));
            });
        }
        for (auto& writer : writers) writer.join();
    }
    FileSettingsStore reopened(path);
    for (int key = 0; key < 40; ++key) EXPECT_EQ(reopened.text("k" + std::to_string(key)), std::to_string(key % 10));
}

TEST(FileSettingsStore, DefaultPathFollowsXDG) {
    const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string config = savedConfig ? savedConfig : "";
    const std::string home = savedHome ? savedHome : "";
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(FileSettingsStore::defaultPath(), "/xdg/tavelin/defaults.json");
    ::setenv("XDG_CONFIG_HOME", "relative", 1); // not absolute: ignored
    EXPECT_EQ(FileSettingsStore::defaultPath(), "/home/someone/.config/tavelin/defaults.json");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(FileSettingsStore::defaultPath(), "/home/someone/.config/tavelin/defaults.json");
    savedConfig ? ::setenv("XDG_CONFIG_HOME", config.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    savedHome ? ::setenv("HOME", home.c_str(), 1) : ::unsetenv("HOME");
}

} // namespace
} // namespace tavelin

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/atomic_file.hpp"
#include "core/display_list_store.hpp"
#include "core/settings_store.hpp"
#include "core/unique_fd.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;

struct TemporaryFolder {
    std::string name = (fs::temp_directory_path() / "tavelin-settings-XXXXXX").string();
    fs::path path = ::mkdtemp(name.data()) ? fs::path(name) : throw std::system_error(errno, std::generic_category());
    fs::path file = path / "defaults.json";
    ~TemporaryFolder() { std::error_code ignored; fs::remove_all(path, ignored); }
};

void writeAll(const fs::path& path, std::string_view content) { std::ofstream(path, std::ios::binary) << content; }

// What is at the path, in brief: a folder's one file, a small file's bytes or a large file's size.
std::string contentOf(fs::path path) {
    if (fs::is_directory(path)) path /= "inside";
    if (!fs::exists(path)) return "missing";
    if (fs::file_size(path) > 1024) return std::to_string(fs::file_size(path));
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SettingsStore, ValuesAreTypedByKeyAndSurviveReopeningInAPrivateFile) {
    TemporaryFolder folder;
    const auto path = folder.path / "nested" / "tavelin" / "defaults.json";
    // Every length modulo three exercises the base64 padding.
    const std::vector<std::string> blobs{"", "a", "ab", "abc", std::string("\x00\x01\xFE\xFF", 4)};
    MemorySettingsStore memory;
    FileSettingsStore file(path);
    for (SettingsStore* store : std::initializer_list<SettingsStore*>{&memory, &file}) {
        for (std::size_t i = 0; i < blobs.size(); ++i) store->setData("blob" + std::to_string(i), blobs[i]);
        store->setText("text", "line\nbreak \"quoted\"");
        store->setText("bytes", "a\xFF"); // text that is not UTF-8 comes back byte for byte
        store->setBoolean("yes", true);
        store->setBoolean("no", false);
        store->setBoolean("removed", true);
        store->remove("removed");
        store->setData("replaced", "x");
        store->setText("replaced", "y");
    }
    const FileSettingsStore reopened(path);
    for (const SettingsStore* store : std::initializer_list<const SettingsStore*>{&memory, &file, &reopened}) {
        SCOPED_TRACE(store == &memory ? "memory" : store == &file ? "file" : "reopened");
        for (std::size_t i = 0; i < blobs.size(); ++i) EXPECT_EQ(store->data("blob" + std::to_string(i)), blobs[i]);
        EXPECT_EQ(std::tuple(store->text("text"), store->text("bytes"), store->text("replaced"), store->boolean("yes")),
                  std::tuple("line\nbreak \"quoted\"", "a\xFF", "y", true));
        EXPECT_FALSE(store->boolean("no") || store->boolean("removed"));
        // A value read as another type, or not there, reads as absent.
        EXPECT_FALSE(store->data("replaced") || store->text("blob1") || store->boolean("text") || store->text("none"));
    }
    // Every folder the store had to create is private, not only the last one; no
    // temporary files are left beside the file.
    const auto mode = [](const fs::path& p) { return static_cast<unsigned>(fs::status(p).permissions()); };
    EXPECT_EQ(std::tuple(mode(path), mode(path.parent_path()), mode(path.parent_path().parent_path())),
              std::tuple(0600u, 0700u, 0700u));
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
}

TEST(FileSettingsStore, UnusableFileReadsEmptyAndIsKeptAside) {
    const std::string valid = R"({"k": "v", "d": {"data": "YWJj"}, "b": true})";
    struct Case { const char* what; std::string content; std::uintmax_t size = 0; bool inFolder = false; };
    for (const auto& c : std::initializer_list<Case>{
             {"truncated", valid.substr(0, valid.size() / 2)}, {"empty", ""}, {"array", "[1, 2]"},
             {"binary", std::string("\x7F" "ELF\x00\x01", 6)}, {"not UTF-8", "{\"k\": \"\xFF\"}"},
             {"over 64 MiB", valid, (64u << 20) + 1}, // sparse: cheap to make
             // Unreadable as a file: permissions cannot make one here, as tests may run as root.
             {"a folder", "x", 0, true}}) {
        TemporaryFolder folder;
        if (c.inFolder) fs::create_directory(folder.file);
        writeAll(c.inFolder ? folder.file / "inside" : folder.file, c.content);
        if (c.size) fs::resize_file(folder.file, c.size);
        const auto original = contentOf(folder.file);
        FileSettingsStore store(folder.file);
        EXPECT_FALSE(store.text("k")) << c.what;
        EXPECT_EQ(contentOf(folder.file.string() + ".corrupt"), original) << c.what;
        store.setText("k", "new");
        EXPECT_EQ(FileSettingsStore(folder.file).text("k"), "new") << c.what;
    }
}

TEST(FileSettingsStore, ForeignEntriesAreSkippedOthersKept) {
    TemporaryFolder folder;
    writeAll(folder.file, R"({"n": 5, "bad64": {"data": "Y=Jj"}, "obj": {"x": 1}, "good": {"data": "YWI="}, "t": "x"})");
    FileSettingsStore store(folder.file);
    EXPECT_FALSE(store.data("bad64") || store.text("n") || store.data("obj"));
    EXPECT_EQ(std::tuple(store.data("good"), store.text("t")), std::tuple("ab", "x"));
    EXPECT_FALSE(fs::exists(folder.file.string() + ".corrupt"));
}

TEST(FileSettingsStore, UnwritableLocationKeepsValuesAndReports) {
    TemporaryFolder folder;
    // A file where the folder should be refuses every write, even to root.
    writeAll(folder.path / "tavelin", "not a folder");
    const auto path = folder.path / "tavelin" / "defaults.json";
    std::vector<std::string> errors;
    FileSettingsStore store(path, [&](const std::string& e) { errors.push_back(e); });
    store.setText("k", "kept");
    store.setBoolean("b", true);
    EXPECT_EQ(std::tuple(store.text("k"), store.boolean("b")), std::tuple("kept", true));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind("Could not save settings to " + path.string() + ": ", 0), 0u) << errors[0];
}

// Hands each snapshot on after an uneven delay, as file writes take.
struct SlowStore : impl::TypedSettingsStore {
    std::vector<std::size_t> sizes;
    std::mutex mutex;
    void changed(const impl::SettingsMap& values) override {
        std::this_thread::sleep_for(std::chrono::microseconds(values.size() % 2 * 300));
        std::lock_guard lock(mutex);
        sizes.push_back(values.size());
    }
};

// What a file store then writes, and reads back, is ValuesAreTypedByKey's.
TEST(SettingsStore, ConcurrentWritersLoseNothingAndPersistInOrder) {
    SlowStore slow;
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < 10; ++i) slow.setBoolean("k" + std::to_string(t * 10 + i), true);
            });
        }
    }
    // Snapshots only grow here, so a smaller one after a larger one was handed on late.
    EXPECT_EQ(slow.sizes.size(), 40u);
    EXPECT_TRUE(std::ranges::is_sorted(slow.sizes));
}

// Nothing else in this program reads HOME or XDG_CONFIG_HOME, so they are not restored.
TEST(FileSettingsStore, DefaultPathFollowsXDG) {
    ::setenv("HOME", "/home/someone", 1);
    for (const auto& [xdg, expected] : std::initializer_list<std::pair<const char*, const char*>>{
             {"/xdg", "/xdg/tavelin/defaults.json"}, {"relative", "/home/someone/.config/tavelin/defaults.json"},
             {nullptr, "/home/someone/.config/tavelin/defaults.json"}}) {
        xdg ? ::setenv("XDG_CONFIG_HOME", xdg, 1) : ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(FileSettingsStore::defaultPath(), expected) << (xdg ? xdg : "unset");
    }
}

UUID numbered(std::uint32_t n) {
    UUID::Bytes bytes{};
    for (int i = 0; i < 4; ++i) bytes[15 - i] = static_cast<std::uint8_t>(n >> (8 * i));
    return UUID::version4(bytes); // as the program makes them
}

// Save number n: one to three displays, the last one new and selected, so that a list
// saved without its own selection (or the reverse) is told apart from a whole save.
DisplayList generation(std::uint32_t n) {
    DisplayList list;
    list.profiles.push_back(DisplayProfile::withDefaultMode(numbered(0), "Save " + std::to_string(n)));
    for (std::uint32_t i = 0; i < n % 3; ++i) {
        list.profiles.push_back(DisplayProfile::withDefaultMode(numbered(n * 4 + i + 1), "Extra"));
    }
    list.selectedDisplayID = list.profiles.back().id();
    return list;
}

// Which save the file holds, read as the program reads it at start; -1 when it is not
// one whole save.
long savedGeneration(const fs::path& file) {
    FileSettingsStore store(file, [](const std::string&) {});
    const auto data = store.data(profileStoreKey);
    const auto selection = store.text(selectedDisplayKey);
    if (!data || !selection) return -1;
    const auto profiles = decodeDisplayProfiles(*data);
    if (!profiles || profiles->empty() || !profiles->front().name.starts_with("Save ")) return -1;
    const auto n = static_cast<std::uint32_t>(std::stoul(profiles->front().name.substr(5)));
    const auto expected = generation(n);
    if (*profiles != expected.profiles || *selection != expected.selectedDisplayID.uuidString()) return -1;
    return n;
}

std::vector<std::string> temporariesBeside(const fs::path& file) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        const auto name = entry.path().filename().string();
        if (name != file.filename().string()) found.push_back(name);
    }
    return found;
}

// Saves generation after generation from `first` on, telling `report` each number just
// before its save begins. Never returns.
[[noreturn]] void saveForever(const fs::path& file, std::uint32_t first, int report) {
    FileSettingsStore store(file);
    for (std::uint32_t n = first;; ++n) {
        if (::write(report, &n, sizeof n) != sizeof n) ::_exit(2);
        const auto list = generation(n);
        saveDisplayList(store, list.profiles, list.selectedDisplayID);
    }
}

// A process that saves its display list again and again, killed with SIGKILL at random
// moments: the file it leaves must always read back as one whole saved list, the one
// being written or the one before it, and the next start must clear its temporaries.
// TAVELIN_SOAK=1 runs ten times as many kills.
TEST(SettingsStore, AKilledSaveLeavesTheListBeingWrittenOrTheOneBefore) {
    const int kills = std::getenv("TAVELIN_SOAK") ? 2000 : 200;
    const TemporaryFolder folder;
    const auto file = folder.path / "tavelin" / "defaults.json";
    {
        FileSettingsStore first(file);
        const auto list = generation(0);
        saveDisplayList(first, list.profiles, list.selectedDisplayID);
    }
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> pause(0, 4000); // microseconds after the first save began
    std::uint32_t held = 0;
    int interrupted = 0;
    for (int kill = 0; kill < kills; ++kill) {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        UniqueFd reading(ends[0]), writing(ends[1]);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            reading.reset();
            saveForever(file, held + 1, writing.get());
        }
        writing.reset();
        std::uint32_t last = 0;
        ASSERT_EQ(::read(reading.get(), &last, sizeof last), static_cast<ssize_t>(sizeof last));
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process ended by itself: " << status;
        for (std::uint32_t n; ::read(reading.get(), &n, sizeof n) == sizeof n;) last = n;

        // What the next start does before it reads the file.
        if (!temporariesBeside(file).empty()) ++interrupted;
        removeStaleTemporaries(file);
        const auto saved = savedGeneration(file);
        ASSERT_TRUE(saved == last || saved + 1 == last)
            << "kill " << kill << ": the save of " << last << " left " << saved;
        EXPECT_EQ(temporariesBeside(file), std::vector<std::string>{}) << "kill " << kill;
        held = static_cast<std::uint32_t>(saved);
    }
    std::cout << kills << " kills, " << interrupted << " in the middle of a write, last save " << held << "\n";
}

} // namespace
} // namespace tavelin

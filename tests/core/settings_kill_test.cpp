// A process that saves its display list again and again, killed with SIGKILL at random
// moments: the file it leaves must always read back as one whole saved list, the one
// being written or the one before it, and the next start must clear its temporaries.
// TAVELIN_SOAK=1 runs ten times as many kills.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
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

TEST(SettingsStore, AKilledSaveLeavesTheListBeingWrittenOrTheOneBefore) {
    const int kills = std::getenv("TAVELIN_SOAK") ? 2000 : 200;
    std::string name = (fs::temp_directory_path() / "tavelin-kill-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    const fs::path folder = name;
    const auto file = folder / "tavelin" / "defaults.json";
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
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

} // namespace
} // namespace tavelin

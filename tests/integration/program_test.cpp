// The built tavelin program, run as a user would run it, in a private home folder. Only
// the processes started here are ever signalled.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/unique_fd.hpp"
#include "core/uuid.hpp"
#include "platform/x11/embedded_server.hpp"
#include "platform/x11/xcb_handles.hpp"
#include "tests/support/loopback_http.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;

// Generous: only a program that hangs ever waits this long.
constexpr auto deadline = std::chrono::seconds(20);
constexpr const char* alreadyRunning = "Tavelin is already running. Open it from the tray or the application menu.\n";

std::string contents(const fs::path& file) { return (std::ostringstream() << std::ifstream(file).rdbuf()).str(); }

// The X servers' folders in a runtime folder, and the processes whose command line names
// it (an X server started there runs with its configuration from there).
std::vector<std::string> leftInRuntime(const fs::path& runtime) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(runtime, error))
        if (entry.path().filename().string().starts_with("tavelin-xserver-")) found.push_back(entry.path().string());
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        auto line = contents(process.path() / "cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        if (line.find(runtime.string() + "/") != std::string::npos) found.push_back("process " + line);
    }
    return found;
}

struct Child {
    pid_t pid = 0;
    fs::path errorFile, outputFile;
    int status = -1; // set once reaped

    std::string errors() const { return contents(errorFile); }
    bool reaped() {
        if (int ended = 0; status < 0 && ::waitpid(pid, &ended, WNOHANG) == pid) status = ended;
        return status >= 0;
    }
    std::string describe() const {
        return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : "status " + std::to_string(status);
    }
    bool hasLine(const std::string& start) const {
        const auto text = errors();
        const auto at = text.starts_with(start) ? 0 : text.find("\n" + start);
        return at != std::string::npos && text.find('\n', at + 1) != std::string::npos;
    }
};

// Polls until condition holds; false at the deadline.
bool eventually(const std::function<bool()>& condition) {
    for (const auto end = std::chrono::steady_clock::now() + deadline; std::chrono::steady_clock::now() < end;
         ::poll(nullptr, 0, 20))
        if (condition()) return true;
    return false;
}
bool exited(Child& child) { return eventually([&] { return child.reaped(); }); }
bool whileRunning(Child& child, const std::function<bool()>& condition) {
    return eventually([&] { return child.reaped() || condition(); }) && !child.reaped();
}

class Program : public ::testing::Test {
protected:
    Program() {
        fs::create_directories(working);
        // A sanitizer build's options and suppressions reach the program.
        for (char** variable = environ; *variable; ++variable)
            if (const std::string_view text(*variable), name = text.substr(0, text.find('=')); name.ends_with("SAN_OPTIONS"))
                environment.emplace(name, text.substr(name.size() + 1));
    }
    ~Program() override {
        for (auto& child : children)
            if (!child->reaped()) ::kill(child->pid, SIGKILL), ::waitpid(child->pid, nullptr, 0);
        fs::remove_all(root);
    }

    // Starts the program in the working folder, standard error to a file of ours.
    Child& launch(std::vector<std::string> arguments) {
        auto& child = *children.emplace_back(std::make_unique<Child>());
        child.errorFile = root / ("stderr-" + std::to_string(children.size()));
        child.outputFile = root / ("stdout-" + std::to_string(children.size()));
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, 1, child.outputFile.c_str(), O_WRONLY | O_CREAT, 0600);
        ::posix_spawn_file_actions_addopen(&actions, 2, child.errorFile.c_str(), O_WRONLY | O_CREAT, 0600);
        ::posix_spawn_file_actions_addchdir_np(&actions, working.c_str());
        arguments.insert(arguments.begin(), TAVELIN_PROGRAM);
        std::vector<std::string> variables;
        for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
        std::vector<char*> argv{nullptr}, envp{nullptr};
        for (auto& text : arguments) argv.insert(argv.end() - 1, text.data());
        for (auto& text : variables) envp.insert(envp.end() - 1, text.data());
        const int failed = ::posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        EXPECT_EQ(failed, 0) << std::strerror(failed);
        ::posix_spawn_file_actions_destroy(&actions);
        return child;
    }

    static void terminate(Child& child) {
        ASSERT_FALSE(child.reaped()) << child.describe();
        ::kill(child.pid, SIGTERM);
        ASSERT_TRUE(exited(child)) << "still running after SIGTERM";
        EXPECT_EQ(child.describe(), "exit 0") << child.errors();
    }

    // A connection to the running copy's activation socket; empty when it does not listen.
    UniqueFd connectToRunningCopy() const {
        const auto path = (root / "data" / "tavelin" / "instance.sock").string();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fd.reset();
        return fd;
    }
    bool listening(Child& child) const { return whileRunning(child, [this] { return bool(connectToRunningCopy()); }); }
    // A runtime folder of the test's own, for the X servers the program starts.
    fs::path privateRuntime() {
        fs::create_directories(root / "runtime");
        fs::permissions(root / "runtime", fs::perms::owner_all);
        return environment["XDG_RUNTIME_DIR"] = root / "runtime";
    }
    void useDisplay(const x11::EmbeddedServer& server) {
        environment["DISPLAY"] = server.displayName();
        environment["XAUTHORITY"] = server.authorityFile().string();
    }

    Child& control(const char* option) {
        auto& child = launch({option});
        EXPECT_TRUE(exited(child)) << option;
        return child;
    }
    // Everything the running copy answers to one request, until it ends the connection in
    // order; none when it does not listen or resets it.
    std::optional<std::string> ask(std::string_view request) const {
        const auto fd = connectToRunningCopy();
        if (!fd || ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return {};
        std::string answer;
        char chunk[256];
        for (pollfd entry{fd.get(), POLLIN, 0}; ::poll(&entry, 1, std::chrono::milliseconds(deadline).count()) == 1;) {
            const ssize_t length = ::recv(fd.get(), chunk, sizeof chunk, 0);
            if (length <= 0) return length ? std::nullopt : std::optional(answer);
            answer.append(chunk, static_cast<std::size_t>(length));
        }
        return {};
    }
    // Asks it to show its window: an orderly end of the connection (not a reset) shows
    // that its engine acted on it.
    bool activate() const { return ask("show\n") == ""; }

    const fs::path root = fs::temp_directory_path() / ("tavelin-program-" + UUID::random().uuidString());
    const fs::path working = root / "working";
    std::map<std::string, std::string> environment{{"PATH", "/usr/bin:/bin"}, {"HOME", (root / "home").string()},
                                                   {"XDG_CONFIG_HOME", (root / "config").string()},
                                                   {"XDG_DATA_HOME", (root / "data").string()}};
    std::vector<std::unique_ptr<Child>> children;
};

TEST_F(Program, OneCopyRunsAtATimeAndACrashLeavesNothingThatBlocks) {
    const auto secondLeaves = [this] {
        auto& second = launch({});
        ASSERT_TRUE(exited(second));
        EXPECT_EQ(second.describe(), "exit 0");
        EXPECT_EQ(second.errors(), alreadyRunning);
    };
    auto& crashed = launch({});
    ASSERT_TRUE(listening(crashed)) << crashed.errors();
    secondLeaves();
    // A client that never writes must not hold up the requests after it.
    const auto silent = connectToRunningCopy();
    EXPECT_TRUE(silent);
    EXPECT_TRUE(activate());
    ::kill(crashed.pid, SIGKILL);
    ASSERT_TRUE(exited(crashed));
    ASSERT_TRUE(fs::exists(root / "data" / "tavelin" / "instance.lock"));
    // A save the crash interrupted; a file of the user's beside it is not ours to remove.
    const auto settings = root / "config" / "tavelin";
    std::ofstream(settings / ".defaults.json.a1B2c3") << "{";
    std::ofstream(settings / ".defaults.json.notes") << "mine";
    // Its socket file stays behind too, so only a fresh listener counts.
    auto& next = launch({});
    ASSERT_TRUE(listening(next)) << next.errors();
    EXPECT_FALSE(fs::exists(settings / ".defaults.json.a1B2c3"));
    EXPECT_TRUE(fs::exists(settings / ".defaults.json.notes"));
    terminate(next);

    // A Unix socket path is limited to 107 bytes; the lock itself still works.
    environment["XDG_DATA_HOME"] = (root / std::string(110, 'd')).string();
    auto& unreachable = launch({});
    ASSERT_TRUE(whileRunning(unreachable, [&] { return unreachable.hasLine("Tavelin error: "); }))
        << unreachable.errors();
    secondLeaves();
    terminate(unreachable);
}

// The command line is checked before anything else; without a window nothing can mend a
// failed start: its sentence, then exit 1. A failure before the engine is all of stderr.
TEST_F(Program, TheCommandLineAndAFailedStartEndTheProgramWithTheirSentence) {
    std::ofstream(root / "file") << "not a folder";
    // Someone else listens on a port, so that starting to share on it fails.
    const UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto address = testing::loopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);
    ASSERT_EQ(::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const auto port = std::to_string(ntohs(address.sin_port));
    const std::string help = "\nTry 'tavelin --help'.\n";
    // Each failed start takes down the X server it started and removes its folder.
    const fs::path runtime = privateRuntime();
    const struct {
        std::vector<std::string> arguments;
        const char* status;
        std::string output, errors; // output: what it must contain; errors: all, or its error line
        std::pair<std::string, std::string> variable = {};
    } cases[] = {
        {{"--version"}, "exit 0", "Tavelin " TAVELIN_VERSION "\n", ""},
        {{"--headless", "--help"}, "exit 0", "\n  --receiver-link-file PATH ", ""},
        {{"-h"}, "exit 0", "\n  --port N ", ""},
        {{"--headless", "--bogus"}, "exit 2", "", "tavelin: unknown option '--bogus'" + help},
        {{"--port=8421"}, "exit 2", "", "tavelin: unknown option '--port=8421'" + help},
        {{"-style", "fusion", "stray"}, "exit 2", "", "tavelin: unexpected argument 'stray'" + help},
        {{"--start", "--width"}, "exit 2", "", "tavelin: option '--width' needs a value" + help},
        {{"--headless", "--quit"}, "exit 2", "", "tavelin: option '--quit' stands alone" + help},
        {{"--headless", "--start", "--port", port}, "exit 1", "",
         "Tavelin error: Port " + port + " is already in use. Choose another with --port.\n"},
        {{"--start", "--width", "abc", "--receiver-link-file", "link"}, "exit 1", "", "Tavelin error: Use even"},
        {{"--headless"}, "exit 1", "", "Tavelin could not open its application support folder.\n",
         {"XDG_DATA_HOME", (root / "file" / "data").string()}},
        {{"--headless"}, "exit 1", "", "Tavelin could not start its own X server: it stopped before it answered.\n",
         {"TAVELIN_XORG", "/bin/false"}},
        {{"--headless", "--start"}, "exit 1", "",
         "Tavelin could not start its own X server: /nonexistent/Xorg is missing; install the packages "
         "xserver-xorg-core and xserver-xorg-video-dummy.\n",
         {"TAVELIN_XORG", "/nonexistent/Xorg"}},
        // Wayland without GNOME's interfaces on a session bus: Xwayland cannot make displays.
        {{"--headless"}, "exit 1", "",
         "This Wayland desktop does not let Tavelin create displays. Log in to a GNOME or X11 session.\n",
         {"WAYLAND_DISPLAY", "wayland-9"}},
    };
    for (const auto& [arguments, status, output, errors, variable] : cases) {
        SCOPED_TRACE(arguments.back() + " " + variable.first);
        const auto saved = environment;
        if (!variable.first.empty()) environment[variable.first] = variable.second;
        auto& child = launch(arguments);
        environment = saved;
        ASSERT_TRUE(exited(child));
        EXPECT_EQ(child.describe(), status);
        EXPECT_NE(contents(child.outputFile).find(output), std::string::npos) << contents(child.outputFile);
        EXPECT_TRUE(errors.starts_with("Tavelin error: ") ? child.hasLine(errors) : child.errors() == errors)
            << child.errors();
        EXPECT_EQ(leftInRuntime(runtime), std::vector<std::string>{});
    }
    EXPECT_TRUE(fs::is_empty(working)) << "a failed start wrote its link file";
}

// A control option asks the copy that runs and never becomes one: no lock, no X server.
TEST_F(Program, ControlOptionsWithoutARunningCopySaySoAndStartNothing) {
    for (const auto* option : {"--status", "--disconnect", "--new-code", "--stop-sharing", "--start-sharing", "--quit"}) {
        auto& child = control(option);
        EXPECT_EQ(child.describe(), "exit 1") << option;
        EXPECT_EQ(child.errors(), "Tavelin is not running.\n") << option;
    }
    EXPECT_FALSE(fs::exists(root / "data")) << "a control option took the instance lock";
}

// The folder keeps other users out but not root's processes: with the folder opened to
// all, another user is still refused by the peer's own uid.
TEST_F(Program, AnotherUserIsRefusedEvenThroughAnOpenFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    auto& copy = launch({"--headless"});
    ASSERT_TRUE(listening(copy)) << copy.errors();
    const auto folder = root / "data" / "tavelin";
    for (const auto& path : {root, root / "data", folder, folder / "instance.sock"}) fs::permissions(path, fs::perms::all);
    const std::string refusal = "error This copy of Tavelin belongs to another user.\n";
    const pid_t stranger = ::fork();
    if (stranger == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && ask("status\n") == refusal ? 0 : 1);
    int status = -1;
    ASSERT_EQ(::waitpid(stranger, &status, 0), stranger);
    EXPECT_EQ(status, 0) << "another user was not refused";
    terminate(copy);
}

// The program's own X server answers only clients with its cookie. That it leaves nothing
// behind is the failed starts' case.
TEST(EmbeddedServer, AnswersOnlyWithItsCookie) {
    auto server = x11::EmbeddedServer::start();
    struct stat info{};
    ASSERT_EQ(::stat(server->authorityFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ::setenv("XAUTHORITY", server->authorityFile().c_str(), 1);
    EXPECT_NO_THROW(x11::Connection(server->displayName()));
    ::setenv("XAUTHORITY", "/nonexistent", 1);
    EXPECT_THROW(x11::Connection(server->displayName()), x11::XError);
}

// Started at login: the tray icon alone, until the user asks for the window.
TEST_F(Program, StartedInTheTrayItOpensNoWindowUntilAskedTo) {
    const auto server = x11::EmbeddedServer::start();
    useDisplay(*server);
    const auto state = root / "window.json";
    auto& child = launch({"--tray", "--window-state-file", state.string()});
    ASSERT_TRUE(listening(child)) << child.errors();
    // The engine answers only once the interface is up; a window shown is recorded at once.
    ASSERT_NE(ask("\n").value_or(""), "");
    EXPECT_FALSE(fs::exists(state)) << "the window opened at launch";
    ASSERT_TRUE(activate());
    EXPECT_TRUE(whileRunning(child, [&] { return fs::exists(state); })) << child.errors();
    terminate(child);
}

// The embedded X server is the program's only child process.
pid_t onlyChildOf(pid_t parent) {
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = 0;
    children >> child;
    return child;
}

// What follows `mark` on its line.
std::string restOfLine(const std::string& text, const std::string& mark) {
    const auto at = text.find(mark) + mark.size();
    return text.substr(at, text.find('\n', at) - at);
}

// The X server going away while a display is shared, its own or the desktop's: one
// sentence, status 1, and nothing of the run left behind.
TEST_F(Program, LosingTheXServerWhileSharingEndsTheRunWithOneSentence) {
    const fs::path runtime = privateRuntime();
    const std::string linkLine = "Tavelin: Waiting for receiver";
    for (const bool own : {true, false}) {
        SCOPED_TRACE(own ? "its own X server" : "the desktop's X server");
        std::unique_ptr<x11::EmbeddedServer> desktop;
        if (!own) useDisplay(*(desktop = x11::EmbeddedServer::start()));
        // A port found free can be taken by a test running beside this one before the
        // program binds it; then another is tried.
        Child* started = nullptr;
        for (int attempt = 0; attempt < 3 && !started; ++attempt) {
            auto& child = launch({"--headless", "--start", "--port", std::to_string(testing::freeLoopbackPort())});
            if (whileRunning(child, [&] { return child.hasLine(linkLine); })) {
                started = &child;
            } else {
                ASSERT_NE(child.errors().find("is already in use"), std::string::npos) << child.errors();
                ASSERT_TRUE(exited(child));
            }
        }
        ASSERT_TRUE(started);
        auto& child = *started;
        const pid_t server = own ? onlyChildOf(child.pid) : desktop->pid();
        ASSERT_GT(server, 0);
        ::kill(server, SIGKILL);
        ASSERT_TRUE(exited(child)) << "still running without its X server";
        EXPECT_EQ(child.describe(), "exit 1");
        // Capture may notice the loss first; still the one sentence says it, after that line.
        const auto errors = child.errors();
        EXPECT_EQ(errors.substr(errors.find('\n', errors.find(linkLine)) + 1),
                  own ? "Tavelin error: Its own X server stopped, so Tavelin stops too.\n"
                      : "Tavelin error: The connection to the display server broke, so Tavelin stops.\n");
        EXPECT_TRUE(eventually([&] { return leftInRuntime(runtime).empty(); })) << leftInRuntime(runtime)[0];
        environment.erase("DISPLAY");
        environment.erase("XAUTHORITY");
    }
}

// What `make run` does on a machine without a desktop, here as the systemd service runs
// it: the program brings its own X server, shares a virtual display on it and pairs a
// receiver; each control option then drives it, in an order where the status shows what
// the one before changed; quitting takes its X server along.
TEST_F(Program, HeadlessRunPairsFollowsItsControlOptionsAndTakesItsXServerAlong) {
    // Standard error is the journal then, which must not keep the link.
    const auto errorFile = root / ("stderr-" + std::to_string(children.size() + 1));
    std::ofstream(errorFile).close();
    struct stat file {};
    ASSERT_EQ(::stat(errorFile.c_str(), &file), 0);
    environment["JOURNAL_STREAM"] = std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
    const auto port = testing::freeLoopbackPort();
    auto& child = launch({"--headless", "--start", "--port", std::to_string(port)});
    ASSERT_TRUE(whileRunning(child, [&] { return child.hasLine("Tavelin: Sharing started; "); })) << child.errors();
    EXPECT_EQ(child.errors().find("http://"), std::string::npos) << child.errors();
    const auto status = contents(control("--status").outputFile);
    const auto rest = restOfLine(status, "link: "), link = rest.substr(0, rest.find(';'));
    const auto base = link.substr(0, link.size() - 4);
    ASSERT_TRUE(link.starts_with("http://")) << status;
    const auto socket = fs::path("/tmp/.X11-unix") / ("X" + restOfLine(child.errors(), "X server on :"));
    struct stat running {};
    EXPECT_EQ(::stat(socket.c_str(), &running), 0) << socket;
    const pid_t server = onlyChildOf(child.pid);
    ASSERT_GT(server, 0);

    // The page and its stream are the browser tests'; here the program's own stack answers
    // an offer it cannot serve.
    const auto paired = testing::loopbackPost(port, "/api/pair", R"({"code":")" + link.substr(base.size()) + R"("})");
    ASSERT_EQ(paired.status, 200) << paired.body;
    const auto token = restOfLine(paired.body, R"("token":")").substr(0, 32);
    EXPECT_EQ(paired.body, R"({"token":")" + token + R"("})");
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << "128 bits in lower-case hex";
    // An offer without video we can send is refused with its own sentence, never a silent answer.
    const auto connected = testing::loopbackPost(
        port, "/api/connect", R"({"type":"offer","sdp":"v=0\r\n","sessionID":")" + UUID::random().uuidString() + R"("})",
        token);
    EXPECT_EQ(connected.status, 409);
    EXPECT_EQ(connected.body, R"({"error":"This browser offered no video format that Tavelin can send. Use a current Chrome, Edge, Firefox or Safari."})");

    const auto output = contents(control("--new-code").outputFile);
    const auto code = output.substr(std::string_view("New pairing code: ").size(), 4);
    EXPECT_EQ(output, "New pairing code: " + code + "; link: " + base + code + "\n");
    EXPECT_NE(base + code, link);
    EXPECT_EQ(ask("bogus\n"), "error Tavelin does not know this request.\n");
    EXPECT_EQ(ask(std::string(100, 's') + "\n").value_or(""), "") << "a request beyond 64 bytes is read no further";
    const struct { const char* option; std::string output; } steps[] = {
        {"--status", "sharing: yes; link: " + base + code + "; pairing code: " + code + "; receiver: none\n"},
        {"--disconnect", "No receiver is connected.\n"},
        {"--stop-sharing", "Sharing stopped.\n"},
        {"--status", "sharing: no; link: none; pairing code: " + code + "; receiver: none\n"},
        {"--start-sharing", "Sharing started; link: " + base + code + "\n"},
        {"--quit", "Tavelin is quitting.\n"},
    };
    for (const auto& [option, expected] : steps) {
        auto& step = control(option);
        EXPECT_EQ(step.describe(), "exit 0") << option << ": " << step.errors();
        EXPECT_EQ(contents(step.outputFile), expected) << option;
    }
    // Quit is the clean stop of SIGTERM.
    ASSERT_TRUE(exited(child));
    EXPECT_EQ(child.describe(), "exit 0") << child.errors();
    // Another test's server may take the freed display number at once: ours is gone when its
    // process and its socket are, a new socket told apart by its change time (not its inode).
    EXPECT_NE(::kill(server, 0), 0) << "the X server outlived the program";
    struct stat after {};
    const bool same = ::stat(socket.c_str(), &after) == 0 && after.st_ino == running.st_ino &&
                      after.st_ctim.tv_sec == running.st_ctim.tv_sec && after.st_ctim.tv_nsec == running.st_ctim.tv_nsec;
    EXPECT_FALSE(same) << "its socket stayed behind";
}

} // namespace
} // namespace tavelin

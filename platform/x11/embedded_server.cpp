#include "platform/x11/embedded_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include <xcb/xcb.h>

#include "core/unique_fd.hpp"

namespace tavelin::x11 {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// VideoRam bounds the framebuffer the outputs share: 512 MiB holds 16384 × 8192 pixels,
// room for the largest display beside the main one. Pages are only touched when used.
constexpr const char* configuration = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoAddGPU" "false"
  Option "AutoBindGPU" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "tavelin-dummy"
  Driver "dummy"
  VideoRam 524288
EndSection
Section "Monitor"
  Identifier "tavelin-monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "tavelin-screen"
  Device "tavelin-dummy"
  Monitor "tavelin-monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 16384 8192
    Modes "1920x1080"
  EndSubSection
EndSection
)";

[[noreturn]] void fail(const std::string& reason) {
    throw EmbeddedServerError("Tavelin could not start its own X server: " + reason);
}

void appendField(std::string& out, const std::string& field) {
    out.push_back(static_cast<char>(field.size() >> 8));
    out.push_back(static_cast<char>(field.size() & 0xFF));
    out += field;
}

// One Xauthority entry for any host: family FamilyWild (0xFFFF).
std::string authorityEntry(const std::string& number, const std::string& cookie) {
    std::string entry("\xFF\xFF", 2);
    appendField(entry, "");
    appendField(entry, number);
    appendField(entry, "MIT-MAGIC-COOKIE-1");
    appendField(entry, cookie);
    return entry;
}

void writePrivateFile(const fs::path& path, const std::string& content) {
    const UniqueFd owner(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const int fd = owner.get();
    if (!owner) fail("cannot write " + path.string() + " (" + std::strerror(errno) + ").");
    std::size_t written = 0;
    while (written < content.size()) {
        const auto n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("cannot write " + path.string() + " (" + std::strerror(errno) + ").");
        written += static_cast<std::size_t>(n);
    }
}

// The first error line of the server's log says best why it stopped.
std::string reasonFromLog(const fs::path& log) {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const auto mark = line.find("(EE) ");
        if (mark == std::string::npos) continue;
        auto text = line.substr(mark + 5);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
        if (text.empty() || text.starts_with("Please") || text.starts_with("Unable to locate/open config directory"))
            continue;
        if (!text.ends_with('.')) text += '.';
        return text;
    }
    return "it stopped before it answered.";
}

constexpr const char* folderPrefix = "tavelin-xserver-";

// A copy killed outright cannot remove its folder (its server goes with it); the next
// start removes folders of ours whose owner is gone.
void removeAbandonedFolders(const fs::path& base) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(base, error)) {
        if (!entry.path().filename().string().starts_with(folderPrefix)) continue;
        struct stat info{};
        if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) continue;
        std::ifstream ownerFile(entry.path() / "owner.pid");
        pid_t owner = 0;
        if (ownerFile >> owner && owner > 0) {
            if (::kill(owner, 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), error);
        } else if (std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(info.st_mtime) >
                   std::chrono::minutes(1)) {
            // Killed before it could say whose it was.
            fs::remove_all(entry.path(), error);
        }
    }
}

fs::path privateFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    fs::path base = runtime && *runtime && fs::is_directory(runtime) ? fs::path(runtime) : fs::temp_directory_path();
    removeAbandonedFolders(base);
    auto pattern = (base / (std::string(folderPrefix) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) fail("no private temporary folder (" + std::string(std::strerror(errno)) + ").");
    return pattern;
}

} // namespace

std::unique_ptr<EmbeddedServer> EmbeddedServer::start(std::chrono::milliseconds limit) {
    std::unique_ptr<EmbeddedServer> server(new EmbeddedServer());
    server->folder_ = privateFolder();
    const auto& folder = server->folder_;

    const char* override = std::getenv("TAVELIN_XORG");
    const std::string xorg = override && *override ? override : "/usr/lib/xorg/Xorg";
    if (::access(xorg.c_str(), X_OK) != 0)
        fail(xorg + " is missing; install the packages xserver-xorg-core and xserver-xorg-video-dummy.");

    std::array<unsigned char, 16> cookie{};
    if (::getrandom(cookie.data(), cookie.size(), 0) != static_cast<ssize_t>(cookie.size()))
        fail("no random cookie for its access control.");
    const std::string cookieText(cookie.begin(), cookie.end());
    writePrivateFile(folder / "owner.pid", std::to_string(::getpid()));
    writePrivateFile(folder / "xorg.conf", configuration);
    fs::create_directory(folder / "xorg.conf.d");
    writePrivateFile(folder / "server.auth", authorityEntry("", cookieText));

    // The server writes its display number to this pipe once it accepts connections.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail(std::string("no pipe (") + std::strerror(errno) + ").");
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);

    const auto log = folder / "Xorg.log";
    std::vector<std::string> arguments{xorg,
                                       "-displayfd", std::to_string(writeEnd.get()),
                                       "-config", (folder / "xorg.conf").string(),
                                       "-configdir", (folder / "xorg.conf.d").string(),
                                       "-logfile", log.string(),
                                       "-auth", (folder / "server.auth").string(),
                                       "-noreset", "-nolisten", "tcp", "-novtswitch"};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    UniqueFd quiet(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const int devNull = quiet.get();

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) fail(std::string("fork failed (") + std::strerror(errno) + ").");
    if (pid == 0) {
        // Only async-signal-safe calls here. The server goes when we go, even on a crash.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::fcntl(writeEnd.get(), F_SETFD, 0);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
        }
        ::setsid(); // keeps terminal signals (Ctrl-C) to us; we stop the server ourselves
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    server->pid_ = pid;
    writeEnd.reset();
    quiet.reset();

    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) fail("it did not answer within " + std::to_string(limit.count() / 1000) + " s.");
        pollfd wait{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready < 0 && errno != EINTR) fail(std::string("poll failed (") + std::strerror(errno) + ").");
        if (ready > 0) {
            char buffer[32];
            const auto n = ::read(readEnd.get(), buffer, sizeof buffer);
            if (n > 0) number.append(buffer, static_cast<std::size_t>(n));
            if (!number.empty() && number.back() == '\n') break;
            if (n == 0) {
                // The pipe closed without a number: the server ended.
                int status = 0;
                ::waitpid(pid, &status, 0);
                server->pid_ = -1;
                fail(reasonFromLog(log));
            }
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            server->pid_ = -1;
            fail(reasonFromLog(log));
        }
    }
    number.pop_back();
    server->displayName_ = ":" + number;
    server->clientAuthority_ = folder / "client.auth";
    writePrivateFile(server->clientAuthority_, authorityEntry(number, cookieText));

    // The number arrives once the server listens; check that it lets us in.
    int screen = 0;
    xcb_auth_info_t auth{static_cast<int>(std::strlen("MIT-MAGIC-COOKIE-1")), const_cast<char*>("MIT-MAGIC-COOKIE-1"),
                         static_cast<int>(cookieText.size()), const_cast<char*>(cookieText.data())};
    xcb_connection_t* probe = xcb_connect_to_display_with_auth_info(server->displayName_.c_str(), &auth, &screen);
    const bool answered = xcb_connection_has_error(probe) == 0;
    xcb_disconnect(probe);
    if (!answered) fail("it started on " + server->displayName_ + " but refused our connection.");
    return server;
}

void EmbeddedServer::exportEnvironment() const {
    ::setenv("DISPLAY", displayName_.c_str(), 1);
    ::setenv("XAUTHORITY", clientAuthority_.c_str(), 1);
}

EmbeddedServer::~EmbeddedServer() { stop(); }

void EmbeddedServer::stop() noexcept {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
    }
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

} // namespace tavelin::x11

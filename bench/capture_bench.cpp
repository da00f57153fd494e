// Capture of a changing 1920 × 1080 display at 60 Hz for about five seconds, against
// ffmpeg's x11grab over the same region and time, on one embedded X server. Prints
// frames per second and CPU time per frame of both, and their ratio; before that, how
// long a single change of a still display waits until capture takes it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include "platform/x11/embedded_server.hpp"
#include "platform/x11/shm_capture.hpp"
#include "platform/x11/xcb_handles.hpp"
#include "streaming/capture_output.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tavelin::x11::Connection;

constexpr auto duration = 5s;

double seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }
double seconds(const timespec& time) { return static_cast<double>(time.tv_sec) + time.tv_nsec / 1e9; }

double processCPU() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double threadCPU(std::thread& thread) {
    clockid_t clock;
    pthread_getcpuclockid(thread.native_handle(), &clock);
    timespec time{};
    clock_gettime(clock, &time);
    return seconds(time);
}

// Fills rectangles in changing colours over the whole display at about 125 Hz.
class Painter {
public:
    Painter() : thread_([this] { paint(); }) {}
    ~Painter() {
        running_ = false;
        thread_.join();
    }
    double cpu() { return threadCPU(thread_); }

private:
    void paint() {
        Connection connection;
        const auto gc = xcb_generate_id(connection);
        xcb_create_gc(connection, gc, connection.root(), 0, nullptr);
        auto next = Clock::now();
        for (std::uint32_t step = 0; running_; ++step) {
            const std::uint32_t colour = step * 0x9e3779u & 0xffffff;
            xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t rect{static_cast<std::int16_t>(step * 97 % 1520),
                                       static_cast<std::int16_t>(step * 61 % 780), 400, 300};
            xcb_poly_fill_rectangle(connection, connection.root(), gc, 1, &rect);
            tavelin::x11::reply(connection.get(), xcb_get_input_focus_reply, xcb_get_input_focus(connection));
            next += 8ms;
            std::this_thread::sleep_until(next);
        }
        xcb_free_gc(connection, gc);
    }

    std::atomic<bool> running_{true};
    std::thread thread_;
};

// The embedded server's 1920 × 1080 display.
tavelin::CaptureDisplay fullHD(tavelin::x11::X11ScreenCapture& capture) {
    tavelin::CaptureDisplay display;
    for (const auto& shown : capture.shareableDisplays())
        if (shown.width == 1920 && shown.height == 1080) display = shown;
    return display;
}

class CountingSink final : public tavelin::VideoSink {
public:
    void adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t) override {}
    void deliver(tavelin::VideoFrame) override { ++frames; }
    std::atomic<long> frames{0};
};

struct Figures {
    double framesPerSecond;
    double cpuPerFrameMS;
};

Figures measureOurs(Painter& painter) {
    tavelin::x11::X11ScreenCapture capture;
    auto sink = std::make_shared<CountingSink>();
    auto output = tavelin::CaptureOutput::create(sink);
    const auto display = fullHD(capture);

    const double cpuBefore = processCPU(), painterBefore = painter.cpu();
    const auto start = Clock::now();
    {
        auto stream = capture.start(
            display, {1920, 1080, 60, 3, true}, [output](const tavelin::CapturedFrame& frame) { output->captured(frame); },
            [](const std::string& message) { std::fprintf(stderr, "capture stopped: %s\n", message.c_str()); });
        std::this_thread::sleep_for(duration);
        const auto counts = dynamic_cast<tavelin::x11::X11CaptureStream&>(*stream).counts();
        std::printf("tavelin ticks: %ld complete, %ld idle, %ld skipped\n", static_cast<long>(counts.completeFrames),
                    static_cast<long>(counts.idleFrames), static_cast<long>(counts.skippedTicks));
    }
    output->waitForDelivery();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = (processCPU() - cpuBefore) - (painter.cpu() - painterBefore);
    const auto frames = static_cast<double>(sink->frames.load());
    const auto metrics = output->metrics();
    std::printf("tavelin: %ld delivered, %ld replaced, %ld stale in %.2f s\n", sink->frames.load(),
                metrics["replacedCaptureFrames"].get<long>(), metrics["staleCaptureFrames"].get<long>(), wall);
    return {frames / wall, cpu / frames * 1000};
}

// A small patch changes about 20 times a second at no fixed phase, its colour the number
// of the change; the first picture showing a number took that change. Prints the wait
// from the change to the picture, p50 and p95.
void measureChangeDelay() {
    tavelin::x11::X11ScreenCapture capture;
    const auto display = fullHD(capture);
    std::mutex lock;
    std::vector<Clock::time_point> changed; // by number - 1
    std::vector<double> waits;
    std::uint32_t seen = 0;
    auto stream = capture.start(
        display, {1920, 1080, 60, 3, false},
        [&](const tavelin::CapturedFrame& frame) {
            if (!frame.complete || !frame.buffer) return;
            std::uint32_t number = 0;
            std::memcpy(&number, frame.buffer->data + 8 * frame.buffer->stride + 8 * 4, 4);
            number &= 0xffffff;
            std::lock_guard guard(lock);
            if (number == 0 || number == seen || number > changed.size()) return;
            seen = number;
            waits.push_back(std::chrono::duration<double, std::milli>(frame.presentationTime - changed[number - 1]).count());
        },
        [](const std::string& message) { std::fprintf(stderr, "capture stopped: %s\n", message.c_str()); });
    Connection connection;
    const auto gc = xcb_generate_id(connection);
    xcb_create_gc(connection, gc, connection.root(), 0, nullptr);
    std::mt19937 random(7);
    for (std::uint32_t number = 1; number <= 100; ++number) {
        std::this_thread::sleep_for(std::chrono::microseconds(40'000 + random() % 20'000));
        {
            std::lock_guard guard(lock);
            changed.push_back(Clock::now());
        }
        xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &number);
        const xcb_rectangle_t patch{0, 0, 16, 16};
        xcb_poly_fill_rectangle(connection, connection.root(), gc, 1, &patch);
        xcb_flush(connection);
    }
    std::this_thread::sleep_for(100ms);
    stream.reset();
    xcb_free_gc(connection, gc);
    std::sort(waits.begin(), waits.end());
    if (waits.empty()) return;
    const auto at = [&](double share) { return waits[static_cast<std::size_t>(share * static_cast<double>(waits.size() - 1))]; };
    std::printf("change -> capture: p50 %.1f ms, p95 %.1f ms (%zu of 100 changes seen)\n", at(0.5), at(0.95),
                waits.size());
}

Figures measureFFmpeg(const std::string& displayName) {
    int out[2];
    if (pipe(out) != 0) return {0, 0};
    const std::string input = displayName + "+0,0";
    const std::string limit = std::to_string(std::chrono::seconds(duration).count());
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "fatal", "-nostats", "-progress",
               "pipe:1", "-f", "x11grab", "-framerate", "60", "-video_size", "1920x1080", "-i", input.c_str(), "-t",
               limit.c_str(), "-f", "null", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string progress;
    char chunk[4096];
    for (ssize_t got; (got = read(out[0], chunk, sizeof chunk)) > 0;) progress.append(chunk, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const auto last = progress.rfind("frame=");
    const double frames = last == std::string::npos ? 0 : std::stod(progress.substr(last + 6));
    const double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    std::printf("ffmpeg x11grab: %.0f frames in %.2f s (exit status %d)\n", frames, wall, WEXITSTATUS(status));
    if (frames <= 0) return {0, 0};
    // Its rate counts over the captured time: the wall time also holds its start-up.
    return {frames / std::chrono::duration<double>(duration).count(), cpu / frames * 1000};
}

} // namespace

int main() {
    auto server = tavelin::x11::EmbeddedServer::start();
    server->exportEnvironment();
    measureChangeDelay();
    Painter painter;
    const auto ours = measureOurs(painter);
    const auto theirs = measureFFmpeg(server->displayName());
    std::printf("%-16s %8s %14s\n", "", "fps", "CPU ms/frame");
    std::printf("%-16s %8.1f %14.3f\n", "tavelin XShm", ours.framesPerSecond, ours.cpuPerFrameMS);
    std::printf("%-16s %8.1f %14.3f\n", "ffmpeg x11grab", theirs.framesPerSecond, theirs.cpuPerFrameMS);
    if (theirs.cpuPerFrameMS > 0)
        std::printf("CPU per frame, tavelin / ffmpeg: %.2f\n", ours.cpuPerFrameMS / theirs.cpuPerFrameMS);
    return 0;
}

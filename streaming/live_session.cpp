#include "streaming/live_session.hpp"

#include <iostream>

#include "core/stream_error.hpp"

namespace tavelin {

LiveStreamSession::LiveStreamSession(Executor engine, SessionPorts ports, std::shared_ptr<VideoSink> sink,
                                     Timings timings)
    : engine_(std::move(engine)), ports_(ports), sink_(std::move(sink)), timings_(timings) {}

LiveStreamSession::~LiveStreamSession() {
    // A session dropped without stop still lets go of every held button.
    if (mouseInput_) mouseInput_->releaseAll();
}

Task<> LiveStreamSession::start(DisplayID display, DisplayConfiguration configuration, bool showsCursor,
                                bool smoothMotion) {
    const DisplayID mirrorSource = ports_.displays.mirrorsDisplay(display);
    mouseInput_ = std::make_shared<MouseInput>(mirrorSource != nullDisplay ? mirrorSource : display, ports_.input,
                                               ports_.displays, ports_.permissions, timings_);
    mouseInput_->onRemotePointer = [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->remotePointer();
    };

    cursorPolicy_ = CursorPolicy(showsCursor);
    desiredCursor_ = capturedCursor_ = showsCursor;
    // The monitors report on the engine; a report after stop finds no session.
    pointerWatch_ = ports_.pointerMonitors.watch([weak = weak_from_this()](std::int64_t marker) {
        if (const auto self = weak.lock()) self->localPointer(marker);
    });

    smoothMotion_ = smoothMotion;
    configuration_ = configuration;

    std::function<void(std::string)> onFailure = [weak = weak_from_this()](std::string message) {
        const auto self = weak.lock();
        if (self && !self->stopped_ && self->onFailure) self->onFailure(std::move(message));
    };
    // Built before the co_await, so that no temporary with a destructor lives across the
    // suspension (g++ 12 mishandles some).
    auto starting = startCapture(ports_.capture, ports_.displays, CaptureRequest{display, configuration, showsCursor},
                                 sink_, std::move(onFailure), timings_);
    auto started = co_await std::move(starting);
    if (stopped_) co_return; // stopped while capture was starting: drop what started
    capture_ = std::move(started);
}

Task<nlohmann::json> LiveStreamSession::answer(std::string, std::string) {
    if (stopped_ || !capture_ || !configuration_) throw StreamError("The host computer is not sharing a display.");
    throw StreamError("This build of Tavelin cannot stream video to a receiver yet.");
    co_return nlohmann::json();
}

void LiveStreamSession::disconnect(const std::string&) {
    // No receiver connection exists without the WebRTC layer; held buttons still go.
    if (mouseInput_) mouseInput_->releaseAll();
}

Task<> LiveStreamSession::stop() {
    stopped_ = true;
    pointerWatch_.reset();
    if (mouseInput_) mouseInput_->releaseAll();
    capture_.reset(); // the stream first: no frame reaches the output after this
    co_return;
}

Task<nlohmann::json> LiveStreamSession::statistics() {
    auto snapshot = capture_ && capture_->output ? capture_->output->metrics() : nlohmann::json::object();
    snapshot["capturedCursorVisible"] = capturedCursor_;
    snapshot["pointerOwner"] = cursorPolicy_.windowsOwnsPointer ? "Receiver" : "Host";
    snapshot["connectionState"] = -1;
    snapshot["isNegotiating"] = false;
    co_return snapshot;
}

void LiveStreamSession::mouseMessage(std::string_view message) {
    if (!stopped_ && mouseInput_) mouseInput_->receive(message);
}

void LiveStreamSession::refreshStaticFrame(bool force) {
    if (capture_ && capture_->output) capture_->output->refreshStaticFrame(force);
}

void LiveStreamSession::localPointer(std::int64_t marker) {
    if (stopped_) return;
    cursorPolicy_.localInput(marker);
    setCapturedCursor(cursorPolicy_.showsCapturedCursor());
}

void LiveStreamSession::remotePointer() {
    if (stopped_) return;
    cursorPolicy_.remoteInput();
    setCapturedCursor(false);
}

// The capture applies a new configuration without waiting, so the update needs no task
// of its own: each change of the wanted state is applied at once, and a repeated request
// for the state already shown does nothing.
void LiveStreamSession::setCapturedCursor(bool show) {
    desiredCursor_ = show;
    if (capturedCursor_ == desiredCursor_ || !capture_ || !capture_->stream) return;
    auto changed = capture_->configuration;
    changed.showsCursor = desiredCursor_;
    try {
        capture_->stream->update(changed);
    } catch (const std::exception& error) {
        std::cerr << "Tavelin cursor update: " << error.what() << '\n';
        return;
    }
    capture_->configuration = changed;
    capturedCursor_ = desiredCursor_;
}

} // namespace tavelin

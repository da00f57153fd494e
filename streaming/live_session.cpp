#include "core/log.hpp"
#include "streaming/live_session.hpp"

#include <algorithm>

#include "core/stream_error.hpp"

namespace tavelin {

namespace {

constexpr const char* notSharing = "The host computer is not sharing a display.";
constexpr const char* alreadyConnected = "A receiver is already connected. Disconnect it on the host computer first.";
constexpr const char* cancelled = "The connection was cancelled.";

// The text of whatever an answer step threw.
std::string describe(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unknown error.";
    }
}

} // namespace

void LiveStreamSession::VideoSwitch::deliver(VideoFrame frame) {
    std::shared_ptr<VideoSink> target;
    std::shared_ptr<VideoSink> preview;
    {
        std::lock_guard guard(lock_);
        target = target_;
        preview = preview_;
    }
    // The encoder first: whatever the preview costs comes after the frame is on its way.
    if (target) target->deliver(preview ? frame : std::move(frame));
    if (preview) preview->deliver(std::move(frame));
}

void LiveStreamSession::VideoSwitch::attachPreview(std::shared_ptr<VideoSink> preview) {
    std::lock_guard guard(lock_);
    preview_ = std::move(preview);
}

void LiveStreamSession::VideoSwitch::attach(std::shared_ptr<VideoSink> target) {
    std::lock_guard guard(lock_);
    target_ = std::move(target);
}

LiveStreamSession::LiveStreamSession(Executor engine, SessionPorts ports, Timings timings)
    : engine_(std::move(engine)), ports_(ports), timings_(timings) {
    std::string names;
    for (const auto& name : ports_.webrtc.encoderNames()) names += (names.empty() ? "" : ", ") + name;
    log::info("encoders: ", names);
}

LiveStreamSession::~LiveStreamSession() {
    // A session dropped without stop still lets go of every held button, its peer and
    // its preview window.
    if (preview_) preview_->close();
    if (mouseInput_) mouseInput_->releaseAll();
    if (connection_) connection_->close();
}

void LiveStreamSession::status(const std::string& text) {
    if (onStatus) onStatus(text);
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
                                 video_, std::move(onFailure), timings_);
    auto started = co_await std::move(starting);
    if (stopped_) co_return; // stopped while capture was starting: drop what started
    capture_ = std::move(started);
}

EncoderParameters LiveStreamSession::encoderParameters() const {
    const auto megabits = configuration_->bitrateMbps();
    return EncoderParameters{
        std::min<std::int64_t>(megabits, 5) * 1'000'000,
        megabits * 1'000'000,
        configuration_->refreshRate(),
        1.0,
        smoothMotion_ ? DegradationPreference::disabled : DegradationPreference::maintainResolution,
    };
}

Task<nlohmann::json> LiveStreamSession::answer(std::string offer, std::string requestedSessionID) {
    if (stopped_ || !capture_ || !configuration_) throw StreamError(notSharing);
    if (connection_ || connecting_) throw StreamError(alreadyConnected);
    connecting_ = true;
    struct Reset {
        LiveStreamSession& session;
        ~Reset() { session.connecting_ = false; }
    } reset{*this};

    const auto& frame = capture_->configuration;
    auto peer = ports_.webrtc.createPeer(frame.width, frame.height, frame.refreshRate);
    if (!peer) throw StreamError("Could not create a video connection.");
    connection_ = ReceiverConnection::open(engine_, std::move(peer), requestedSessionID, timings_, *this);
    status("Pairing receiver…");
    log::info("Creating WebRTC answer");

    std::exception_ptr failure;
    try {
        auto producing = produceAnswer(connection_, std::move(offer));
        co_return co_await std::move(producing);
    } catch (...) {
        failure = std::current_exception();
    }
    log::error("connection: ", describe(failure));
    disconnect(requestedSessionID);
    std::rethrow_exception(failure);
}

Task<nlohmann::json> LiveStreamSession::produceAnswer(std::shared_ptr<ReceiverConnection> connection,
                                                      std::string offer) {
    log::info("receiver H.264 support: ", offer.find("H264/90000") != std::string::npos ? "yes" : "no");
    WebRTCPeer& peer = connection->peer();
    auto sink = peer.videoSink();
    if (!sink) throw StreamError("Could not attach the display video.");
    video_->attach(std::move(sink));
    peer.setEncoderParameters(encoderParameters());

    const auto stillCurrent = [&] { return !stopped_ && connection_ == connection && connection->isOpen(); };
    auto accepting = peer.setRemoteOffer(std::move(offer));
    co_await std::move(accepting);
    if (!stillCurrent()) throw StreamError(cancelled);

    log::info("Remote offer accepted");
    auto answering = peer.createAnswer();
    co_await std::move(answering);
    if (!stillCurrent()) throw StreamError(cancelled);
    peer.setEncoderParameters(encoderParameters());

    log::info("Gathering local candidates");
    for (int poll = 0;; ++poll) {
        if (!stillCurrent()) throw StreamError(cancelled);
        if (peer.iceGatheringComplete() || poll == timings_.iceGatheringPolls) break;
        co_await sleepFor(timings_.iceGatheringPoll);
    }
    const auto local = peer.localDescription();
    if (!local || !peer.iceGatheringComplete()) {
        throw StreamError("Local network discovery timed out. Check network permissions and try again.");
    }
    connection->watchConnecting();
    status("Connecting receiver…");
    co_return nlohmann::json{
        {"type", "answer"},
        {"sdp", *local},
        {"sessionID", connection->sessionID()},
        {"width", configuration_->width()},
        {"height", configuration_->height()},
        {"targetFPS", configuration_->refreshRate()},
        {"bitrateMbps", configuration_->bitrateMbps()},
    };
}

void LiveStreamSession::receiverConnected() {
    status("Receiver connected");
    refreshStaticFrame(true);
}

void LiveStreamSession::receiverInterrupted() {
    if (mouseInput_) mouseInput_->releaseAll();
    status("Receiver connection interrupted");
}

void LiveStreamSession::receiverLost(ReceiverConnection& connection) {
    if (connection_.get() == &connection) disconnect({});
}

void LiveStreamSession::mouseChannelOpened() {
    if (mouseInput_) mouseWatchdog_ = TaskHandle::spawn(engine_, MouseInput::watchdog(mouseInput_));
}

void LiveStreamSession::mouseMessage(const std::string& message) {
    if (mouseInput_) mouseInput_->receive(message);
}

void LiveStreamSession::mouseChannelClosed() {
    if (mouseInput_) mouseInput_->releaseAll();
}

void LiveStreamSession::refreshPicture() { refreshStaticFrame(false); }

void LiveStreamSession::disconnect(const std::string& sessionID) {
    if (!sessionID.empty() && (!connection_ || connection_->sessionID() != sessionID)) return;
    mouseWatchdog_.cancel();
    if (mouseInput_) mouseInput_->releaseAll();
    video_->attach(nullptr);
    if (auto connection = std::exchange(connection_, nullptr)) connection->close();
    if (!stopped_) status("Waiting for receiver");
}

Task<> LiveStreamSession::stop() {
    closePreview();
    pointerWatch_.reset();
    stopped_ = true;
    disconnect({});
    if (capture_) capture_->stream.reset(); // first: no frame reaches the output after this
    capture_.reset();
    co_return;
}

Task<nlohmann::json> LiveStreamSession::statistics() {
    auto snapshot = capture_ && capture_->output ? capture_->output->metrics() : nlohmann::json::object();
    snapshot["capturedCursorVisible"] = capturedCursor_;
    snapshot["pointerOwner"] = cursorPolicy_.receiverOwnsPointer ? "Receiver" : "Host";
    snapshot["connectionState"] = connection_ ? static_cast<int>(connection_->peer().connectionState()) : -1;
    snapshot["isNegotiating"] = connecting_;
    if (const auto elements = ports_.webrtc.liveMediaElements()) snapshot["mediaElements"] = *elements;
    if (auto connection = connection_) {
        auto asking = connection->peer().statistics();
        const auto outbound = co_await std::move(asking);
        for (const char* key : {"frameWidth", "frameHeight", "framesPerSecond", "framesEncoded", "framesSent",
                                "bytesSent", "targetBitrate", "qualityLimitationReason", "encoderImplementation",
                                "totalEncodeTime"}) {
            if (outbound.contains(key)) snapshot[key] = outbound[key];
        }
    }
    co_return snapshot;
}

void LiveStreamSession::togglePreview() {
    // A stopped session has no picture to show and would never close the window again.
    if (stopped_) return;
    if (preview_) {
        if (preview_->isVisible()) {
            closePreview();
        } else {
            preview_->show();
            refreshStaticFrame(true);
        }
        return;
    }
    if (!ports_.previews) throw StreamError(previewUnavailable);
    const auto width = capture_ ? capture_->configuration.width : 1920;
    const auto height = capture_ ? capture_->configuration.height : 1080;
    auto preview = ports_.previews->create(width, height);
    if (!preview) throw StreamError(previewUnavailable);
    preview_ = std::move(preview);
    video_->attachPreview(preview_);
    preview_->show();
    refreshStaticFrame(true);
}

void LiveStreamSession::closePreview() {
    video_->attachPreview(nullptr);
    if (auto preview = std::exchange(preview_, nullptr)) preview->close();
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
        log::error("cursor update: ", error.what());
        return;
    }
    capture_->configuration = changed;
    capturedCursor_ = desiredCursor_;
}

} // namespace tavelin

#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/cursor_policy.hpp"
#include "engine/task.hpp"
#include "engine/timing.hpp"
#include "input/mouse_input.hpp"
#include "platform/input.hpp"
#include "platform/screen_capture.hpp"
#include "platform/system_services.hpp"
#include "platform/video_sink.hpp"
#include "platform/webrtc.hpp"
#include "streaming/capture_start.hpp"
#include "streaming/preview.hpp"
#include "streaming/receiver_connection.hpp"
#include "streaming/stream_session.hpp"

namespace tavelin {

// What a session needs of the desktop. Everything outlives the session.
struct SessionPorts {
    DisplayServices& displays;
    ScreenCapture& capture;
    InputPoster& input;
    PointerMonitors& pointerMonitors;
    Permissions& permissions;
    WebRTCFactory& webrtc;
    // Where previews come from; none where no window can be shown.
    PreviewFactory* previews = nullptr;
};

// The session of one sharing run: it captures the display, answers one receiver's offer
// at a time with a WebRTC connection that carries the video and the "mouse" channel,
// injects that mouse, and keeps the host pointer in the picture or out of it as the
// cursor policy says. Engine thread only; the receiver's connection reports here only
// while it is the current one.
class LiveStreamSession final : public StreamSession,
                                public std::enable_shared_from_this<LiveStreamSession>,
                                private ReceiverConnection::Listener {
public:
    static constexpr std::size_t maximumMouseMessage = ReceiverConnection::maximumMouseMessage;

    LiveStreamSession(Executor engine, SessionPorts ports, Timings timings = {});
    ~LiveStreamSession() override;

    Task<> start(DisplayID display, DisplayConfiguration configuration, bool showsCursor, bool smoothMotion) override;
    Task<nlohmann::json> answer(std::string offer, std::string requestedSessionID) override;
    // An empty identifier drops whatever connection exists.
    void disconnect(const std::string& sessionID) override;
    Task<> stop() override;
    Task<nlohmann::json> statistics() override;
    void togglePreview() override;

    // Makes the last picture go out again (the receiver connected, the preview opened).
    void refreshStaticFrame(bool force);

    bool capturedCursor() const { return capturedCursor_; }
    const CursorPolicy& cursorPolicy() const { return cursorPolicy_; }

private:
    // Hands captured frames to the encoder of the current connection, if any, and to
    // the preview, if one is open.
    class VideoSwitch final : public VideoSink {
    public:
        void adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t) override {}
        void deliver(VideoFrame frame) override;
        void attach(std::shared_ptr<VideoSink> target);
        void attachPreview(std::shared_ptr<VideoSink> preview);

    private:
        std::mutex lock_;
        std::shared_ptr<VideoSink> target_;
        std::shared_ptr<VideoSink> preview_;
    };

    void localPointer(std::int64_t marker);
    void remotePointer();
    void setCapturedCursor(bool show);

    // What the current receiver connection reports.
    void receiverConnected() override;
    void receiverInterrupted() override;
    void receiverLost(ReceiverConnection& connection) override;
    void mouseChannelOpened() override;
    void mouseMessage(const std::string& message) override;
    void mouseChannelClosed() override;
    void refreshPicture() override;

    EncoderParameters encoderParameters() const;
    Task<nlohmann::json> produceAnswer(std::shared_ptr<ReceiverConnection> connection, std::string offer);
    void status(const std::string& text);
    void closePreview();

    Executor engine_;
    SessionPorts ports_;
    Timings timings_;
    std::shared_ptr<VideoSwitch> video_ = std::make_shared<VideoSwitch>();

    std::optional<StartedCapture> capture_;
    std::unique_ptr<PointerMonitors::Watch> pointerWatch_;
    std::shared_ptr<MouseInput> mouseInput_;
    CursorPolicy cursorPolicy_{true};
    bool desiredCursor_ = true;
    bool capturedCursor_ = true;

    std::shared_ptr<ReceiverConnection> connection_;
    TaskHandle mouseWatchdog_;
    bool connecting_ = false;
    bool stopped_ = false;
    std::optional<DisplayConfiguration> configuration_;
    bool smoothMotion_ = true;
    std::shared_ptr<Preview> preview_;
};

} // namespace tavelin

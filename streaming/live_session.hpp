#pragma once

#include <memory>
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
#include "streaming/capture_start.hpp"
#include "streaming/stream_session.hpp"
#include "streaming/video_sink.hpp"

namespace tavelin {

// What a session needs of the desktop. Everything outlives the session.
struct SessionPorts {
    DisplayServices& displays;
    ScreenCapture& capture;
    InputPoster& input;
    PointerMonitors& pointerMonitors;
    Permissions& permissions;
};

// The session of one sharing run: it captures the display into the video sink, owns the
// receiver's mouse input, and keeps the host pointer in the picture or out of it as the
// cursor policy says. Receiver connections are answered by the WebRTC layer; without it
// an offer is refused with a sentence. Engine thread only.
class LiveStreamSession final : public StreamSession, public std::enable_shared_from_this<LiveStreamSession> {
public:
    LiveStreamSession(Executor engine, SessionPorts ports, std::shared_ptr<VideoSink> sink, Timings timings = {});
    ~LiveStreamSession() override;

    Task<> start(DisplayID display, DisplayConfiguration configuration, bool showsCursor, bool smoothMotion) override;
    Task<nlohmann::json> answer(std::string offer, std::string requestedSessionID) override;
    void disconnect(const std::string& sessionID) override;
    Task<> stop() override;
    Task<nlohmann::json> statistics() override;

    // One text message of the receiver's "mouse" channel, already checked by the caller
    // (accepted channel, connected peer, at most 1,024 bytes).
    void mouseMessage(std::string_view message);
    // Makes the last picture go out again (the receiver connected, the preview opened).
    void refreshStaticFrame(bool force);

    bool capturedCursor() const { return capturedCursor_; }
    const CursorPolicy& cursorPolicy() const { return cursorPolicy_; }

private:
    void localPointer(std::int64_t marker);
    void remotePointer();
    void setCapturedCursor(bool show);

    Executor engine_;
    SessionPorts ports_;
    std::shared_ptr<VideoSink> sink_;
    Timings timings_;

    std::optional<StartedCapture> capture_;
    std::unique_ptr<PointerMonitors::Watch> pointerWatch_;
    std::shared_ptr<MouseInput> mouseInput_;
    CursorPolicy cursorPolicy_{true};
    bool desiredCursor_ = true;
    bool capturedCursor_ = true;
    bool stopped_ = false;
    std::optional<DisplayConfiguration> configuration_;
    bool smoothMotion_ = true;
};

} // namespace tavelin

#pragma once

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "core/display_configuration.hpp"
#include "core/stream_error.hpp"
#include "engine/task.hpp"
#include "platform/display_services.hpp"

namespace tavelin {

// The stream of one sharing run: it captures one display, answers one receiver's offer
// at a time and carries its mouse. Everything is called on the engine, and the callbacks
// are invoked there too.
class StreamSession {
public:
    virtual ~StreamSession() = default;

    // One line of progress for the status text.
    std::function<void(std::string)> onStatus;
    // The session failed and cannot go on; the text is shown to the user.
    std::function<void(std::string)> onFailure;

    // Throws StreamError (or CaptureDeniedError) when capture cannot start.
    virtual Task<> start(DisplayID display, DisplayConfiguration configuration, bool showsCursor,
                         bool smoothMotion) = 0;
    // Answers a receiver's complete offer. The object holds "type", "sdp", "sessionID",
    // "width", "height", "targetFPS" and "bitrateMbps". Throws StreamError with the
    // sentence for the receiver.
    virtual Task<nlohmann::json> answer(std::string offer, std::string requestedSessionID) = 0;
    virtual void disconnect(const std::string& sessionID) = 0;
    virtual Task<> stop() = 0;
    // Diagnostic values by name.
    virtual Task<nlohmann::json> statistics() = 0;
    // Shows the local preview of the sent video, brings it back when its window was
    // closed, or closes it when it is shown. Throws StreamError when no preview can be
    // shown on this computer.
    virtual void togglePreview() { throw StreamError(previewUnavailable); }

    static constexpr const char* previewUnavailable = "Video preview is unavailable on this computer.";
};

using StreamSessionFactory = std::function<std::shared_ptr<StreamSession>()>;

} // namespace tavelin

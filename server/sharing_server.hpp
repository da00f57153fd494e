#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/http_request.hpp"
#include "server/http_response.hpp"

namespace tavelin {

// The HTTP server of one sharing run, as the model uses it. Its callbacks arrive on the
// server's own thread; the model hops to the engine.
class SharingServer {
public:
    using Respond = std::function<void(HTTPResponse)>;
    using Handler = std::function<void(HTTPRequest, Respond)>;

    virtual ~SharingServer() = default;

    // Throws std::system_error when the server cannot listen at all. Later, exactly one
    // of `ready` (listening) or `onFailure` (with the reason) follows, and onFailure may
    // come again while running.
    virtual void start(std::uint16_t port, const std::vector<std::string>& addresses, Handler handler,
                       std::function<void(std::string)> onFailure, std::function<void()> ready) = 0;
    virtual void stop() = 0;
};

using SharingServerFactory = std::function<std::unique_ptr<SharingServer>()>;

} // namespace tavelin

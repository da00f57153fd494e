#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/timing.hpp"
#include "server/local_server.hpp"
#include "server/sharing_server.hpp"

namespace tavelin {

// The local HTTP server as the model's SharingServer of one sharing run.
class LocalSharingServer final : public SharingServer {
public:
    explicit LocalSharingServer(Timings timings) : server_(timings) {}

    void start(std::uint16_t port, const std::vector<std::string>& addresses, Handler handler,
               std::function<void(std::string)> onFailure, std::function<void()> ready) override {
        server_.handler = std::move(handler);
        server_.onFailure = std::move(onFailure);
        server_.start(port, addresses, std::move(ready));
    }
    void stop() override { server_.stop(); }

private:
    LocalServer server_;
};

} // namespace tavelin

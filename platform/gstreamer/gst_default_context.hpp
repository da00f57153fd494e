#pragma once

#include <memory>

namespace tavelin {

// Runs GLib's default main context on a thread of its own, for a run in which nothing
// else does (Qt's event loop runs it wherever Qt runs). webrtcbin's ICE agent finishes
// its name lookups there (a browser names its host candidates with mDNS names): until
// a lookup is finished it holds the agent, and a connection whose lookups are never
// finished keeps its agent's thread and sockets after it closed. Stopped and joined on
// destruction.
class GLibDefaultContextThread final {
public:
    GLibDefaultContextThread();
    ~GLibDefaultContextThread();
    GLibDefaultContextThread(const GLibDefaultContextThread&) = delete;
    GLibDefaultContextThread& operator=(const GLibDefaultContextThread&) = delete;

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

} // namespace tavelin

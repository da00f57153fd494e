#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "engine/task.hpp"
#include "engine/timing.hpp"
#include "platform/webrtc.hpp"

namespace tavelin {

// One receiver's connection in a sharing run: its peer, its "mouse" channel, the timers
// that drop it when it never connects, does not come back or falls silent, and the
// refresh that keeps a static picture on the receiver's screen. Engine thread only, like the peer's
// callbacks. Once closed it reports nothing more, so whatever its listener hears
// concerns the connection that is open.
class ReceiverConnection final : public std::enable_shared_from_this<ReceiverConnection> {
public:
    // What the connection tells its session; it outlives the connection's open life.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void receiverConnected() = 0;
        virtual void receiverInterrupted() = 0;
        // It failed, closed, never connected in time or did not come back: drop it.
        virtual void receiverLost(ReceiverConnection& connection) = 0;
        virtual void mouseChannelOpened() = 0;
        // Only while the peer is connected, and never longer than maximumMouseMessage.
        virtual void mouseMessage(const std::string& message) = 0;
        virtual void mouseChannelClosed() = 0;
        // A static screen is sent again now and then while connected.
        virtual void refreshPicture() = 0;
    };

    // Messages longer than this are dropped unread.
    static constexpr std::size_t maximumMouseMessage = 1024;

    static std::shared_ptr<ReceiverConnection> open(Executor engine, std::shared_ptr<WebRTCPeer> peer,
                                                    std::string sessionID, Timings timings, Listener& listener);
    ReceiverConnection(Executor engine, std::shared_ptr<WebRTCPeer> peer, std::string sessionID, Timings timings,
                       Listener& listener);
    ~ReceiverConnection();
    ReceiverConnection(const ReceiverConnection&) = delete;
    ReceiverConnection& operator=(const ReceiverConnection&) = delete;

    const std::string& sessionID() const { return sessionID_; }
    WebRTCPeer& peer() const { return *peer_; }
    bool isOpen() const { return open_; }

    // Drops the receiver unless it is connected when the watchdog's time is up.
    void watchConnecting();
    // Closes the channel and the peer and stops every timer; idempotent.
    void close();

private:
    void connectionState(PeerConnectionState state);
    void dataChannel(std::shared_ptr<PeerDataChannel> channel);
    void loseUnlessConnected();
    void receiverReported();
    void watchSilence();
    // Spawns a timer task that holds the connection weakly and acts only while it is open.
    template <typename Action>
    TaskHandle after(Timings::Duration wait, bool repeat, Action action);

    Executor engine_;
    std::shared_ptr<WebRTCPeer> peer_;
    std::string sessionID_;
    Timings timings_;
    Listener& listener_;
    bool open_ = true;

    std::shared_ptr<PeerDataChannel> mouseChannel_;
    TaskHandle watchdog_;
    TaskHandle grace_;
    TaskHandle refresh_;
    TaskHandle silence_;
    std::chrono::steady_clock::time_point lastReport_;
};

} // namespace tavelin

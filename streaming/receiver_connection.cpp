#include "streaming/receiver_connection.hpp"

#include <utility>

namespace tavelin {

std::shared_ptr<ReceiverConnection> ReceiverConnection::open(Executor engine, std::shared_ptr<WebRTCPeer> peer,
                                                             std::string sessionID, Timings timings,
                                                             Listener& listener) {
    auto connection = std::make_shared<ReceiverConnection>(std::move(engine), std::move(peer), std::move(sessionID),
                                                           timings, listener);
    // The peer may report after the connection is gone; it holds the connection weakly.
    const std::weak_ptr<ReceiverConnection> weak = connection;
    connection->peer_->onConnectionState = [weak](PeerConnectionState state) {
        if (const auto self = weak.lock(); self && self->open_) self->connectionState(state);
    };
    connection->peer_->onReceiverReport = [weak] {
        if (const auto self = weak.lock(); self && self->open_) self->receiverReported();
    };
    connection->peer_->onDataChannel = [weak](std::shared_ptr<PeerDataChannel> channel) {
        if (const auto self = weak.lock()) {
            self->dataChannel(std::move(channel));
        } else {
            channel->close();
        }
    };
    return connection;
}

ReceiverConnection::ReceiverConnection(Executor engine, std::shared_ptr<WebRTCPeer> peer, std::string sessionID,
                                       Timings timings, Listener& listener)
    : engine_(std::move(engine)), peer_(std::move(peer)), sessionID_(std::move(sessionID)), timings_(timings),
      listener_(listener) {}

ReceiverConnection::~ReceiverConnection() { close(); }

template <typename Action>
TaskHandle ReceiverConnection::after(Timings::Duration wait, bool repeat, Action action) {
    auto timer = [](std::weak_ptr<ReceiverConnection> weak, Timings::Duration wait, bool repeat,
                    Action action) -> Task<> {
        while (co_await sleepFor(wait)) {
            const auto self = weak.lock();
            if (!self || !self->open_) co_return;
            action(*self);
            if (!repeat) co_return;
        }
    };
    return TaskHandle::spawn(engine_, timer(weak_from_this(), wait, repeat, std::move(action)));
}

// A peer that is not connected when its time is up is given up.
void ReceiverConnection::loseUnlessConnected() {
    if (peer_->connectionState() != PeerConnectionState::connected) listener_.receiverLost(*this);
}

void ReceiverConnection::watchConnecting() {
    watchdog_ = after(timings_.connectionWatchdog, false,
                      [](ReceiverConnection& self) { self.loseUnlessConnected(); });
}

// The watch starts with the connection on a stack that reports receivers (a receiver
// whose network went before its first report is silent from the start), else with the
// first report, so that a stack that never reports is judged by its connection state
// alone. A silent receiver is lost as a failed connection is.
void ReceiverConnection::receiverReported() {
    lastReport_ = std::chrono::steady_clock::now();
    watchSilence();
}

void ReceiverConnection::watchSilence() {
    if (silence_.isRunning()) return;
    silence_ = after(timings_.receiverSilence / 8, true, [](ReceiverConnection& self) {
        if (self.peer_->connectionState() == PeerConnectionState::connected &&
            std::chrono::steady_clock::now() - self.lastReport_ > self.timings_.receiverSilence) {
            self.listener_.receiverLost(self);
        }
    });
}

void ReceiverConnection::connectionState(PeerConnectionState state) {
    switch (state) {
    case PeerConnectionState::failed:
    case PeerConnectionState::closed:
        listener_.receiverLost(*this);
        break;
    case PeerConnectionState::disconnected:
        listener_.receiverInterrupted();
        // A dropped connection gets a while to come back, counted from its first drop.
        if (!grace_.isRunning()) {
            grace_ = after(timings_.disconnectedGrace, false,
                           [](ReceiverConnection& self) { self.loseUnlessConnected(); });
        }
        break;
    case PeerConnectionState::connected:
        // Silence is counted from here: no reports come while the connection is down.
        lastReport_ = std::chrono::steady_clock::now();
        if (peer_->reportsReceivers()) watchSilence();
        listener_.receiverConnected();
        refresh_.cancel();
        refresh_ = after(timings_.staticRefresh, true, [](ReceiverConnection& self) { self.listener_.refreshPicture(); });
        break;
    case PeerConnectionState::fresh:
    case PeerConnectionState::connecting:
        break;
    }
}

void ReceiverConnection::dataChannel(std::shared_ptr<PeerDataChannel> channel) {
    if (!open_ || mouseChannel_ || channel->label() != "mouse") {
        channel->close();
        return;
    }
    mouseChannel_ = channel;
    const std::weak_ptr<ReceiverConnection> weak = weak_from_this();
    channel->onStateChange = [weak](bool open) {
        const auto self = weak.lock();
        if (!open && self && self->open_) self->listener_.mouseChannelClosed();
    };
    channel->onMessage = [weak](std::string data, bool binary) {
        if (binary || data.size() > maximumMouseMessage) return;
        const auto self = weak.lock();
        if (self && self->open_ && self->peer_->connectionState() == PeerConnectionState::connected) {
            self->listener_.mouseMessage(data);
        }
    };
    listener_.mouseChannelOpened();
}

void ReceiverConnection::close() {
    if (!open_) return;
    open_ = false;
    watchdog_.cancel();
    grace_.cancel();
    refresh_.cancel();
    silence_.cancel();
    if (auto channel = std::exchange(mouseChannel_, nullptr)) {
        channel->onStateChange = nullptr;
        channel->onMessage = nullptr;
        channel->close();
    }
    peer_->close();
}

} // namespace tavelin

#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <asio/post.hpp>

#include "engine/task.hpp"
#include "platform/gstreamer/gst_handles.hpp"

// How GLib signals, bus handlers and promises reach the engine: every callback on a
// GStreamer thread holds its owner weakly and only posts.
namespace tavelin::gst {

inline constexpr const char* closedMessage = "The video connection is closed.";

// What a callback on a GStreamer thread holds: the owner weakly, and where to go.
template <typename Owner>
struct WeakBox {
    std::weak_ptr<Owner> owner;
    Executor engine;

    // Runs fn(owner) on the engine if the owner is still there then.
    template <typename Fn>
    void post(Fn&& fn) const {
        postWeak(engine, owner, std::forward<Fn>(fn));
    }
};

template <typename Owner>
gulong connectWeak(gpointer instance, const char* signal, GCallback callback, std::weak_ptr<Owner> owner,
                   Executor engine) {
    return g_signal_connect_data(instance, signal, callback, new WeakBox<Owner>{std::move(owner), std::move(engine)},
                                 [](gpointer box, GClosure*) { delete static_cast<WeakBox<Owner>*>(box); },
                                 GConnectFlags{});
}

template <typename Owner>
const WeakBox<Owner>& unbox(gpointer box) {
    return *static_cast<const WeakBox<Owner>*>(box);
}

// A GstPromise awaited on the engine. The reply (or the promise's end without one,
// when webrtcbin shuts down) resumes the waiter exactly once through a post.
template <typename Handler>
struct PromiseWaiter {
    Executor engine;
    Handler handler;
    std::atomic<bool> finished{false};

    void finish(GstPromise* promise) {
        if (finished.exchange(true)) return;
        Owned<GstPromise> held(promise ? gst_promise_ref(promise) : nullptr);
        asio::post(engine, [handler = std::move(handler), held = std::move(held)]() mutable {
            std::move(handler)(std::move(held));
        });
    }
    static void changed(GstPromise* promise, gpointer self) { static_cast<PromiseWaiter*>(self)->finish(promise); }
    static void released(gpointer self) {
        auto* waiter = static_cast<PromiseWaiter*>(self);
        waiter->finish(nullptr);
        delete waiter;
    }
};

// The reply of a finished promise, or the error it carries as a sentence.
inline const GstStructure* replyOf(const Owned<GstPromise>& promise, const char* what) {
    if (!promise || gst_promise_wait(promise.get()) != GST_PROMISE_RESULT_REPLIED) throw std::runtime_error(closedMessage);
    const GstStructure* reply = gst_promise_get_reply(promise.get());
    if (reply && gst_structure_has_field(reply, "error")) {
        GError* raw = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &raw, nullptr);
        const Owned<GError> error = adopt(raw);
        throw std::runtime_error(std::string("The video connection could not ") + what + " (" +
                                 (error ? error->message : "unknown error") + ").");
    }
    return reply;
}

} // namespace tavelin::gst

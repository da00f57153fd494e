#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "core/log.hpp"

// Small helpers for the engine's coroutines. Everything here is used on the engine
// thread only, except postWeak, which exists to get there from other threads.
namespace tavelin {

using Executor = asio::any_io_executor;
template <typename T = void>
using Task = asio::awaitable<T>;

// Completion token for co_await that yields (error, results...) instead of throwing.
inline constexpr auto asTuple = asio::experimental::as_tuple(asio::use_awaitable);

// A coroutine spawned on the engine that can be cancelled: cancelling ends a pending
// sleep or wait at once, and the coroutine then finishes without acting.
class TaskHandle {
public:
    TaskHandle() = default;

    static TaskHandle spawn(const Executor& executor, Task<> work) {
        TaskHandle handle;
        handle.state_ = std::make_shared<State>();
        asio::co_spawn(executor, std::move(work),
                       asio::bind_cancellation_slot(handle.state_->signal.slot(),
                                                    [state = handle.state_](std::exception_ptr failure) {
                                                        state->finished = true;
                                                        reportFailure(failure);
                                                    }));
        return handle;
    }

    void cancel() {
        if (state_ && !state_->finished) state_->signal.emit(asio::cancellation_type::all);
    }
    bool isRunning() const { return state_ && !state_->finished; }

private:
    struct State {
        asio::cancellation_signal signal;
        bool finished = false;
    };

    // A cancelled task ends with operation_aborted; anything else escaped its body.
    static void reportFailure(std::exception_ptr failure) {
        if (!failure) return;
        try {
            std::rethrow_exception(failure);
        } catch (const std::system_error& error) {
            if (error.code() != asio::error::operation_aborted) {
                log::error("task failed: ", error.what());
            }
        } catch (const std::exception& error) {
            log::error("task failed: ", error.what());
        }
    }

    std::shared_ptr<State> state_;
};

// Spawns work whose result nobody waits for; failures are logged.
inline void detach(const Executor& executor, Task<> work) { TaskHandle::spawn(executor, std::move(work)); }

// Sleeps on the engine. Returns false when the calling task was cancelled meanwhile.
inline Task<bool> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    const auto [error] = co_await timer.async_wait(asTuple);
    co_return !error;
}

// Runs fn(owner) on the engine if the owner still exists then. For callbacks that
// arrive on other threads; fn must re-check any identity it depends on.
template <typename Owner, typename Fn>
void postWeak(const Executor& executor, std::weak_ptr<Owner> owner, Fn&& fn) {
    asio::post(executor, [owner = std::move(owner), fn = std::forward<Fn>(fn)]() mutable {
        if (auto strong = owner.lock()) fn(*strong);
    });
}

// The first of several outcomes (success, failure, thrown error, timeout) settles it;
// later ones are refused, so exactly one of them decides what the waiter sees.
template <typename T>
class OneShot {
public:
    explicit OneShot(const Executor& executor) : wake_(executor, asio::steady_timer::time_point::max()) {}

    bool isSettled() const { return settled_; }

    // Each returns true when it was the first outcome.
    bool succeed(T value) {
        if (settled_) return false;
        value_ = std::move(value);
        return settle();
    }
    bool fail(std::exception_ptr error) {
        if (settled_) return false;
        error_ = std::move(error);
        return settle();
    }

    // Waits for the outcome: returns the value or rethrows the failure.
    Task<T> wait() {
        while (!settled_) {
            const auto [error] = co_await wake_.async_wait(asTuple);
            if (!settled_ && error) throw std::system_error(asio::error::operation_aborted);
        }
        if (error_) std::rethrow_exception(error_);
        co_return std::move(*value_);
    }

private:
    bool settle() {
        settled_ = true;
        wake_.cancel();
        return true;
    }

    asio::steady_timer wake_;
    bool settled_ = false;
    std::optional<T> value_;
    std::exception_ptr error_;
};

} // namespace tavelin

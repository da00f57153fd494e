#pragma once

#include <functional>
#include <utility>

namespace tavelin {

// A field that observers watch. Reading is `field()`; writing goes through set(), which
// tells the owner's notifier the field changed (only when the value really differs).
template <typename T, typename Key>
class Published {
public:
    using Notify = std::function<void(Key)>;

    Published(const Notify& notify, Key key, T initial)
        : notify_(notify), key_(key), value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& operator()() const { return value_; }

    void set(T value) {
        if (value == value_) return;
        value_ = std::move(value);
        if (notify_) notify_(key_);
    }

    // Changes the value in place and notifies once.
    template <typename Fn>
    void modify(Fn&& fn) {
        fn(value_);
        if (notify_) notify_(key_);
    }

private:
    const Notify& notify_;
    Key key_;
    T value_;
};

// Holds a published flag set while it lives. Every way out clears it: a return, an
// exception, and the destruction of a cancelled coroutine's frame.
template <typename Key>
class FlagScope {
public:
    explicit FlagScope(Published<bool, Key>& flag) : flag_(&flag) { flag.set(true); }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;
    ~FlagScope() { release(); }

    // Clears the flag early, for work that follows the operation proper.
    void release() {
        if (auto* flag = std::exchange(flag_, nullptr)) flag->set(false);
    }

private:
    Published<bool, Key>* flag_;
};

} // namespace tavelin

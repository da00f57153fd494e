#include "platform/gnome/mutter_pointer_monitors.hpp"

#include "core/cursor_policy.hpp"

namespace tavelin::gnome {

namespace {

struct WatchState {
    std::function<void(std::int64_t)> callback;
};

class LiveWatch final : public PointerMonitors::Watch {
public:
    LiveWatch(std::shared_ptr<WatchState> state, std::shared_ptr<void> listening)
        : state_(std::move(state)), listening_(std::move(listening)) {}

private:
    std::shared_ptr<WatchState> state_;
    std::shared_ptr<void> listening_;
};

} // namespace

std::unique_ptr<PointerMonitors::Watch> MutterPointerMonitors::watch(std::function<void(std::int64_t)> onPointerEvent) {
    auto state = std::make_shared<WatchState>(WatchState{std::move(onPointerEvent)});
    auto listening = displays_.listenToPointer([engine = engine_, weak = std::weak_ptr(state)](bool injected) {
        const std::int64_t marker = injected ? CursorPolicy::remoteEventMarker : 0;
        postWeak(engine, weak, [marker](WatchState& watch) { watch.callback(marker); });
    });
    return std::make_unique<LiveWatch>(std::move(state), std::move(listening));
}

} // namespace tavelin::gnome

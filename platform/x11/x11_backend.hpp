#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/task.hpp"
#include "platform/desktop_backend.hpp"

namespace tavelin::x11 {

// Every port on one X server: RandR displays and virtual displays, XShm capture, XTest
// input, XInput2 pointer watching and the permission checks. Callers see only the
// ports; nothing of X leaks through this header.
class X11Backend final : public DesktopBackend {
public:
    // `displayName` empty means $DISPLAY. Throws std::runtime_error with one sentence
    // when the server cannot be reached or lacks what Tavelin needs.
    static std::unique_ptr<X11Backend> connect(Executor engine, const std::string& displayName = {});
    ~X11Backend() override;

    void onConfigurationChanged(std::function<void()> handler) override;
    void onConnectionLost(std::function<void()> handler) override;
    void stopEvents() override;

private:
    struct Parts;
    explicit X11Backend(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

} // namespace tavelin::x11

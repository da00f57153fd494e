#pragma once

#include <memory>

#include "engine/task.hpp"
#include "platform/desktop_backend.hpp"

namespace tavelin::gnome {

// Every port on GNOME's compositor under Wayland, over mutter's D-Bus interfaces on the
// session bus and PipeWire. Sharing covers Tavelin's own (virtual) displays; the user's
// own pointer is seen where it moves on them, through their streams' pointer metadata.
class GnomeBackend final : public DesktopBackend {
public:
    // Whether this session's bus has mutter's DisplayConfig, RemoteDesktop and ScreenCast.
    static bool available();
    // Throws std::runtime_error with one sentence when mutter cannot be reached.
    static std::unique_ptr<GnomeBackend> connect(Executor engine);
    ~GnomeBackend() override;

    void onConfigurationChanged(std::function<void()> handler) override;
    void stopEvents() override;

private:
    struct Parts;
    explicit GnomeBackend(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

} // namespace tavelin::gnome

#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio/io_context.hpp>

namespace tavelin {

class AppModel;
class PreviewFactory;

// A run with Qt: Qt owns the main thread, the engine runs on a thread of its own. With
// the interface there are the main window and the tray; without it (a headless
// benchmark) only the motion test can appear.
class DesktopRun {
public:
    struct Options {
        bool interface = true;
        std::optional<std::filesystem::path> windowStateFile;
        // The window waits until the user opens it from the tray or the menu.
        bool startInTray = false;
    };

    // Makes the Qt application; build before the model, whose sessions take previews().
    DesktopRun(int& argc, char** argv, Options options);
    ~DesktopRun();

    // With the interface, shows why Tavelin cannot run here in a dialog of its own and
    // returns once the user has closed it; without, does nothing.
    void showFailure(const std::string& sentence);

    // Previews of the sent video, or none where this computer cannot show them.
    PreviewFactory* previews() const;

    // Shows the interface (the tray icon alone when starting in the tray), runs the
    // engine on its own thread and Qt here until the engine ends (the shutdown stops the
    // engine, which ends Qt too). requestShutdown is called on the GUI thread when the
    // user quits or Qt ends first: from any thread it must get the engine to stop sharing
    // and end. Returns once the engine thread is joined and every window is gone.
    void run(asio::io_context& engine, const std::shared_ptr<AppModel>& model,
             const std::function<void()>& requestShutdown);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tavelin

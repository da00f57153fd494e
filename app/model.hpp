#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/published.hpp"
#include "server/sharing_server.hpp"
#include "streaming/stream_session.hpp"
#include "core/display_profile.hpp"
#include "core/pairing_gate.hpp"
#include "core/settings_store.hpp"
#include "core/uuid.hpp"
#include "displays/system_display_controller.hpp"
#include "engine/task.hpp"
#include "engine/timing.hpp"
#include "platform/display_services.hpp"
#include "platform/login_items.hpp"
#include "platform/system_services.hpp"
#include "platform/virtual_display.hpp"

namespace tavelin {

// The platform facilities the model calls.
struct Platform {
    DisplayServices& displays;
    VirtualDisplayFactory& virtualDisplays;
    Permissions& permissions;
    URLOpener& urls;
    NetworkInterfaces& network;
    SecureRandom& random;
};

// Window operations the model asks of the user interface, when there is one.
struct WindowHooks {
    std::function<void(const std::string& tab)> showMainWindow;
    // Shows the motion test on the screen of the display; false when it cannot.
    std::function<bool(DisplayID)> showMotionTest;
    std::function<void()> closeMotionTest;
};

// Everything the model is built from.
struct ModelDependencies {
    Executor engine;
    Platform platform;
    SettingsStore& defaults;
    StreamSessionFactory makeSession;
    SharingServerFactory makeServer;
    std::vector<std::string> arguments; // the process arguments, program name first
    Timings timings = {};
    // The folder that holds the receiver page files.
    std::filesystem::path webRoot;
    // The controls of the desktop's lit displays, where the desktop offers them.
    std::shared_ptr<SystemDisplayController> systemDisplays;
    // The desktop's programs opened at login; none where the setting is not offered.
    std::shared_ptr<LoginItems> loginItems = {};
};

// The published fields, for observers.
enum class ModelField {
    width, height, fps, bitrate, hiDPI, showArrangeHelp, showCursor, smoothMotion,
    receiverBrightness, receiverContrast, receiverSaturation, receiverRotation, receiverFlip,
    receiverBlank, receiverFit, streamDiagnostics, port, isRunning, isBusy, status, error,
    addresses, selectedAddress, mousePermissionGranted, permissionGranted, selectedTab,
    displayProfiles, selectedDisplayID, activeDisplayIDs, pairingCode, openAtLogin, openAtLoginError,
};

// The one central object: settings, saved displays, live virtual displays, the server and
// the running stream session, and every operation the interface, the launch sequence and
// the receiver API call. It lives on the engine and is touched only there.
class AppModel : public std::enable_shared_from_this<AppModel> {
public:
    template <typename T>
    using Field = Published<T, ModelField>;
    using BusyScope = FlagScope<ModelField>;

    static constexpr const char* readyStatus = "Ready to extend your desktop";

    // Loads the saved displays and selection and saves them back at once.
    static std::shared_ptr<AppModel> create(ModelDependencies dependencies);
    ~AppModel();

    // Observers are told after each change of a published field.
    using Observer = std::function<void(ModelField)>;
    void subscribe(Observer observer) { observers_.push_back(std::move(observer)); }

private:
    std::vector<Observer> observers_;
    std::function<void(ModelField)> notify_;

public:
    // Mode of the selected display, as typed.
    Field<std::string> width{notify_, ModelField::width, std::to_string(DisplayProfile::defaultWidth)};
    Field<std::string> height{notify_, ModelField::height, std::to_string(DisplayProfile::defaultHeight)};
    Field<std::int64_t> fps{notify_, ModelField::fps, DisplayProfile::defaultRefreshRate};
    Field<double> bitrate{notify_, ModelField::bitrate, static_cast<double>(DisplayProfile::defaultBitrateMbps)};
    Field<bool> hiDPI{notify_, ModelField::hiDPI, false};
    Field<bool> showArrangeHelp{notify_, ModelField::showArrangeHelp, false};
    Field<bool> showCursor{notify_, ModelField::showCursor, true};
    Field<bool> smoothMotion{notify_, ModelField::smoothMotion, true};
    // Picture adjustments the receiver applies.
    Field<double> receiverBrightness{notify_, ModelField::receiverBrightness, 1.0};
    Field<double> receiverContrast{notify_, ModelField::receiverContrast, 1.0};
    Field<double> receiverSaturation{notify_, ModelField::receiverSaturation, 1.0};
    Field<std::int64_t> receiverRotation{notify_, ModelField::receiverRotation, 0};
    Field<bool> receiverFlip{notify_, ModelField::receiverFlip, false};
    Field<bool> receiverBlank{notify_, ModelField::receiverBlank, false};
    Field<std::string> receiverFit{notify_, ModelField::receiverFit, "contain"};
    Field<std::string> streamDiagnostics{notify_, ModelField::streamDiagnostics,
                                         "Start sharing to inspect the video pipeline."};
    Field<std::string> port{notify_, ModelField::port, "8420"};
    Field<bool> isRunning{notify_, ModelField::isRunning, false};
    Field<bool> isBusy{notify_, ModelField::isBusy, false};
    Field<std::vector<std::string>> addresses{notify_, ModelField::addresses, {}};
    Field<std::string> selectedAddress{notify_, ModelField::selectedAddress, ""};
    Field<bool> mousePermissionGranted{notify_, ModelField::mousePermissionGranted, false};
    Field<bool> permissionGranted{notify_, ModelField::permissionGranted, false};
    Field<std::string> selectedTab{notify_, ModelField::selectedTab, "receiver"};
    Field<std::vector<DisplayProfile>> displayProfiles{notify_, ModelField::displayProfiles, {}};
    Field<UUID> selectedDisplayID{notify_, ModelField::selectedDisplayID, UUID()};
    Field<std::set<UUID>> activeDisplayIDs{notify_, ModelField::activeDisplayIDs, {}};
    Field<std::string> pairingCode{notify_, ModelField::pairingCode, ""};
    // What the desktop's autostart list says, read again after each change of it.
    Field<bool> openAtLogin{notify_, ModelField::openAtLogin, false};
    Field<std::optional<std::string>> openAtLoginError{notify_, ModelField::openAtLoginError, std::nullopt};

    // status and error are written to the log on every set.
    const std::string& status() const { return status_(); }
    void setStatus(std::string text);
    const std::optional<std::string>& error() const { return error_(); }
    void setError(std::optional<std::string> message);

    // The saved display the mode fields and sharing refer to.
    std::optional<DisplayProfile> selectedDisplay() const;
    // "http://host:port/code" with the selected address, else the first, else 127.0.0.1.
    std::string receiverURL() const;

    // -- Settings and small operations
    void loadSelectedMode();
    void persistDisplays();
    void applyLaunchSettings();
    void refreshPermission();
    void requestMousePermission();
    void showWindow(const std::string& tab);
    void toggleMotionTest();
    void resetImage();
    Task<> refreshDiagnostics();
    // Adds Tavelin to the programs opened at login or takes it out; a failure is shown
    // through openAtLoginError.
    void setOpenAtLogin(bool open);
    // Reads openAtLogin again: the user may change the list outside Tavelin.
    void refreshOpenAtLogin();

    // -- Sharing
    Task<> start();
    // Answers one request of the receiver API; respond is called exactly once.
    Task<> handle(HTTPRequest request, SharingServer::Respond respond);
    Task<> stop();
    void generatePairingCode();
    void refreshNetwork();
    // Shows or closes the local preview of the running session; a failure is shown
    // through error. Nothing happens when not sharing.
    void togglePreview();

    // -- Saved and live virtual displays
    void selectDisplay(const UUID& id);
    Task<> addDisplay();
    Task<> connectDisplay(UUID id);
    Task<> disableDisplay(UUID id);
    Task<> removeDisplay(UUID id);
    Task<> renameDisplay(UUID id, std::string name);
    Task<> restoreDisplays();
    Task<> applyDisplayMode();
    void displayConfigurationChanged();
    Task<> enableDisplay(UUID id);

    // -- Arrangement and mirroring
    void rememberArrangement();
    void placeDisplay(const std::string& direction);
    void makeMainDisplay();
    Task<> mirrorMainDisplay(bool mirror);
    bool configureMirroring(DisplayID display, bool mirror);
    void arrangeDisplays();

    // -- State read by the receiver API and by tests
    const std::string& token() const { return token_; }
    const UUID& generation() const { return generation_; }
    PairingGate& pairingGate() { return pairingGate_; }
    std::set<std::string>& cancelledSessions() { return cancelledSessions_; }
    const std::shared_ptr<StreamSession>& session() const { return session_; }
    bool hasServer() const { return server_ != nullptr; }
    const std::map<UUID, std::unique_ptr<VirtualDisplay>>& displays() const { return displays_; }
    const std::set<UUID>& restoringDisplayIDs() const { return restoringDisplayIDs_; }
    const Platform& platform() const { return platform_; }
    const std::filesystem::path& webRoot() const { return webRoot_; }
    const std::vector<std::string>& arguments() const { return arguments_; }
    // Null where the desktop lends no control over its displays.
    const std::shared_ptr<SystemDisplayController>& systemDisplays() const { return systemDisplays_; }
    WindowHooks windowHooks;

    // Spawns one of the operations above on the engine, keeping the model alive for it.
    void spawn(Task<> operation);

private:
    explicit AppModel(ModelDependencies dependencies);

    Field<std::string> status_{notify_, ModelField::status, readyStatus};
    Field<std::optional<std::string>> error_{notify_, ModelField::error, std::nullopt};

    bool hasArgument(const std::string& option) const;
    std::optional<std::string> argumentValue(const std::string& option) const;
    std::optional<std::string> drawPairingCode();
    void dropDisplay(const UUID& id);
    DisplayProfile* profile(const UUID& id);
    void modifyProfile(const UUID& id, const std::function<void(DisplayProfile&)>& change);
    Task<> failStart(std::string message);
    void writeReceiverLinkFile();
    void installRequestHandler(const UUID& runGeneration);
    bool runTransaction(const std::function<DisplayError(DisplayConfigurationTransaction&)>& configure);

    Executor engine_;
    Platform platform_;
    SettingsStore& defaults_;
    StreamSessionFactory makeSession_;
    SharingServerFactory makeServer_;
    std::vector<std::string> arguments_;
    Timings timings_;
    std::filesystem::path webRoot_;
    std::shared_ptr<SystemDisplayController> systemDisplays_;
    std::shared_ptr<LoginItems> loginItems_;

    std::map<UUID, std::unique_ptr<VirtualDisplay>> displays_;
    std::set<UUID> restoringDisplayIDs_;
    TaskHandle arrangementTask_;
    std::shared_ptr<StreamSession> session_;
    std::unique_ptr<SharingServer> server_;
    std::string token_;
    PairingGate pairingGate_;
    UUID generation_ = UUID::random();
    std::set<std::string> cancelledSessions_;
    bool motionTestShown_ = false;
};

// The usable IPv4 addresses of the interface list, in preferred order: up, not
// loopback, each once, 192.168.x before 10.x before the rest, otherwise in list order.
std::vector<std::string> usableAddresses(const std::vector<InterfaceAddress>& interfaces);

} // namespace tavelin

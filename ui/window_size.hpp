#pragma once

#include <optional>

namespace tavelin::ui {

// Heights of the main window and the tray panel, from the visible height of the main
// screen (nothing when there is no screen).
struct WindowSize {
    static constexpr double mainWidth = 640;
    static constexpr double receiverHeight = 680;
    static constexpr double otherTabHeight = 740;
    static constexpr double panelWidth = 420;

    // The wanted height of the tab, cut to the screen: visible height − 80, at least 500;
    // 820 without a screen.
    static double mainHeight(double wanted, std::optional<double> visibleHeight);
    // Visible height − 80 within 360 … 640; 640 without a screen.
    static double panelHeight(std::optional<double> visibleHeight);
    // The receiver tab's measured content height replaces the old one only when it is
    // real and differs by more than a point, so that layout jitter does not loop.
    static double nextReceiverHeight(double current, double measured);
};

} // namespace tavelin::ui

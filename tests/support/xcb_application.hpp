#pragma once

#include <memory>

#include <QGuiApplication>

namespace tavelin::support {

// The one Qt application of a test program whose windows go to the test's X server
// (DISPLAY is set by the program's main before any test runs).
inline std::unique_ptr<QGuiApplication> xcbApplication() {
    qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "tavelin_window_test";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QGuiApplication>(argc, argv);
}

} // namespace tavelin::support

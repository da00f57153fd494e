#pragma once

#include <filesystem>

#include <QObject>
#include <QPointer>
#include <QWindow>

namespace tavelin::ui {

// Writes the main window's frame and flags as one compact JSON object with the keys
// "x", "y", "width", "height", "opaque", "movableByBackground" and "ignoresMouseEvents",
// replacing the file atomically, when the window is shown, moved or resized. Failures
// are ignored: the file is for whoever watches the window from outside.
class WindowStateRecorder : public QObject {
    Q_OBJECT
public:
    // movableByBackground: the window's content lets a drag on its background move it.
    WindowStateRecorder(QWindow& window, std::filesystem::path file, bool movableByBackground);

    void record();

private:
    QPointer<QWindow> window_;
    std::filesystem::path file_;
    bool movableByBackground_;
};

} // namespace tavelin::ui

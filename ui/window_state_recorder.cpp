#include "ui/window_state_recorder.hpp"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace tavelin::ui {

WindowStateRecorder::WindowStateRecorder(QWindow& window, std::filesystem::path file, bool movableByBackground)
    : QObject(&window), window_(&window), file_(std::move(file)), movableByBackground_(movableByBackground) {
    // The window takes clicks: nothing passes through it.
    window.setFlag(Qt::WindowTransparentForInput, false);
    const auto recordWhenShown = [this](bool visible) {
        if (visible) record();
    };
    connect(&window, &QWindow::visibleChanged, this, recordWhenShown);
    for (const auto change : {&QWindow::xChanged, &QWindow::yChanged, &QWindow::widthChanged, &QWindow::heightChanged}) {
        connect(&window, change, this, [this] {
            if (window_ && window_->isVisible()) record();
        });
    }
    if (window.isVisible()) record();
}

void WindowStateRecorder::record() {
    if (!window_) return;
    const QRect frame = window_->frameGeometry();
    const QJsonObject state{
        {"x", frame.x()},
        {"y", frame.y()},
        {"width", frame.width()},
        {"height", frame.height()},
        {"opaque", !window_->format().hasAlpha()},
        {"movableByBackground", movableByBackground_},
        {"ignoresMouseEvents", window_->flags().testFlag(Qt::WindowTransparentForInput)},
    };
    // QSaveFile writes beside the target and renames over it on commit.
    QSaveFile out(QString::fromStdString(file_.string()));
    if (!out.open(QIODevice::WriteOnly)) return;
    out.write(QJsonDocument(state).toJson(QJsonDocument::Compact));
    out.commit();
}

} // namespace tavelin::ui

// The window state file, written by a real window on the embedded X server.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRasterWindow>
#include <QSignalSpy>

#include "ui/window_state_recorder.hpp"
#include "tests/support/xcb_application.hpp"

namespace tavelin::ui {
namespace {

namespace fs = std::filesystem;

class WindowState : public ::testing::Test {
protected:
    static void SetUpTestSuite() { application = support::xcbApplication(); }
    static void TearDownTestSuite() { application.reset(); }

    ~WindowState() override { fs::remove_all(folder); }

    QJsonObject read() const {
        QFile file(QString::fromStdString(state.string()));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    // Waits until the file says what the window says.
    bool showsFrame(const QWindow& window) {
        for (int round = 0; round < 100; ++round) {
            const auto json = read();
            if (QRect(json["x"].toInt(), json["y"].toInt(), json["width"].toInt(), json["height"].toInt()) ==
                window.frameGeometry()) {
                return true;
            }
            QSignalSpy(&window, &QWindow::xChanged).wait(50);
        }
        return false;
    }

    static inline std::unique_ptr<QGuiApplication> application;
    const fs::path folder = fs::temp_directory_path() / ("tavelin-window-state-" + std::to_string(::getpid()));
    const fs::path state = folder / "state.json";
};

TEST_F(WindowState, WrittenWhenShownMovedAndResizedWithExactlySevenKeys) {
    fs::create_directories(folder);
    QRasterWindow window;
    window.setGeometry(100, 120, 640, 500);
    WindowStateRecorder recorder(window, state, true);
    EXPECT_FALSE(fs::exists(state)) << "nothing is written before the window is shown";

    window.show();
    ASSERT_TRUE(fs::exists(state));
    ASSERT_TRUE(showsFrame(window));
    auto json = read();
    EXPECT_TRUE(json["x"].isDouble());
    for (const auto key : {"x", "y", "width", "height"}) json.remove(key);
    EXPECT_EQ(json, (QJsonObject{{"ignoresMouseEvents", false}, {"movableByBackground", true}, {"opaque", true}}));

    // Each record replaces the file by renaming a new one over it: whoever holds the
    // old file open still reads the old state whole.
    QFile old(QString::fromStdString(state.string()));
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    const int oldX = read()["x"].toInt();
    window.setPosition(300, 200);
    ASSERT_TRUE(showsFrame(window));
    EXPECT_EQ(read()["x"].toInt(), 300);
    EXPECT_EQ(QJsonDocument::fromJson(old.readAll()).object()["x"].toInt(), oldX);

    window.resize(640, 700);
    ASSERT_TRUE(showsFrame(window));
    EXPECT_EQ(read()["height"].toInt(), 700);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "no temporary file left";
}

TEST_F(WindowState, UnwritableFileIsIgnored) {
    QRasterWindow window;
    window.setGeometry(0, 0, 200, 200);
    WindowStateRecorder recorder(window, folder / "missing" / "state.json", true);
    window.show();
    window.setPosition(10, 10);
    EXPECT_FALSE(fs::exists(folder / "missing"));
}

} // namespace
} // namespace tavelin::ui

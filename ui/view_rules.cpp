#include "ui/view_rules.hpp"

#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>

#include "ui/choices.hpp"
#include "ui/display_settings.hpp"
#include "ui/window_size.hpp"

namespace tavelin::ui {

namespace {

std::optional<double> mainScreenVisibleHeight() {
    const auto* screen = QGuiApplication::primaryScreen();
    if (!screen) return std::nullopt;
    return screen->availableGeometry().height();
}

QStringList presetTexts(bool spaced) {
    QStringList texts;
    for (std::size_t i = 0; i < Choices::presets.size(); ++i) texts.append(QString::fromStdString(Choices::presetText(i, spaced)));
    return texts;
}

std::optional<DisplaySettingsCommand> installedDisplaySettings() {
    return displaySettingsCommand(qEnvironmentVariable("XDG_CURRENT_DESKTOP").toStdString(), [](const std::string& program) {
        return !QStandardPaths::findExecutable(QString::fromStdString(program)).isEmpty();
    });
}

template <typename Range>
QVariantList numbers(const Range& values) {
    QVariantList list;
    for (const int value : values) list.append(value);
    return list;
}

} // namespace

QStringList ViewRules::presets() { return presetTexts(false); }
QStringList ViewRules::spacedPresets() { return presetTexts(true); }
QVariantList ViewRules::refreshRates() { return numbers(Choices::refreshRates); }
QVariantList ViewRules::rotations() { return numbers(Choices::rotations); }

QStringList ViewRules::directions() {
    QStringList list;
    for (const auto direction : Choices::directions) list.append(QString::fromUtf8(direction.data(), static_cast<qsizetype>(direction.size())));
    return list;
}

double ViewRules::minimumBitrate() { return Choices::minimumBitrate; }
double ViewRules::maximumBitrate() { return Choices::maximumBitrate; }
double ViewRules::bitrateStep() { return Choices::bitrateStep; }
double ViewRules::mainWidth() { return WindowSize::mainWidth; }
double ViewRules::panelWidth() { return WindowSize::panelWidth; }

QString ViewRules::hertz(int rate) { return QString::fromStdString(Choices::hertz(rate)); }
QString ViewRules::megabits(double bitrate) { return QString::fromStdString(Choices::megabits(bitrate)); }
QString ViewRules::percent(double value) { return QString::fromStdString(Choices::percent(value)); }
QString ViewRules::degrees(int rotation) { return QString::fromStdString(Choices::degrees(rotation)); }

double ViewRules::mainHeight(bool receiverTab, double receiverHeight) {
    return WindowSize::mainHeight(receiverTab ? receiverHeight : WindowSize::otherTabHeight, mainScreenVisibleHeight());
}

double ViewRules::panelHeight() { return WindowSize::panelHeight(mainScreenVisibleHeight()); }

double ViewRules::nextReceiverHeight(double current, double measured) {
    return WindowSize::nextReceiverHeight(current, measured);
}

bool ViewRules::displaySettingsAvailable() { return installedDisplaySettings().has_value(); }

bool ViewRules::openDisplaySettings() {
    const auto command = installedDisplaySettings();
    if (!command) return false;
    QStringList arguments;
    for (const auto& argument : command->arguments) arguments.append(QString::fromStdString(argument));
    return QProcess::startDetached(QString::fromStdString(command->program), arguments);
}

} // namespace tavelin::ui

#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantList>

namespace tavelin::ui {

// The fixed choice tables, labels and window sizes, for QML: the views bind to these
// instead of holding rules of their own.
class ViewRules : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList presets READ presets CONSTANT)
    Q_PROPERTY(QStringList spacedPresets READ spacedPresets CONSTANT)
    Q_PROPERTY(QVariantList refreshRates READ refreshRates CONSTANT)
    Q_PROPERTY(QVariantList rotations READ rotations CONSTANT)
    Q_PROPERTY(QStringList directions READ directions CONSTANT)
    Q_PROPERTY(double minimumBitrate READ minimumBitrate CONSTANT)
    Q_PROPERTY(double maximumBitrate READ maximumBitrate CONSTANT)
    Q_PROPERTY(double bitrateStep READ bitrateStep CONSTANT)
    Q_PROPERTY(double mainWidth READ mainWidth CONSTANT)
    Q_PROPERTY(double panelWidth READ panelWidth CONSTANT)
    Q_PROPERTY(bool displaySettingsAvailable READ displaySettingsAvailable CONSTANT)

public:
    using QObject::QObject;

    static QStringList presets();
    static QStringList spacedPresets();
    static QVariantList refreshRates();
    static QVariantList rotations();
    static QStringList directions();
    static double minimumBitrate();
    static double maximumBitrate();
    static double bitrateStep();
    static double mainWidth();
    static double panelWidth();

    Q_INVOKABLE static QString hertz(int rate);
    Q_INVOKABLE static QString megabits(double bitrate);
    Q_INVOKABLE static QString percent(double value);
    Q_INVOKABLE static QString degrees(int rotation);

    // Sizes against the main screen's visible height as it is now.
    Q_INVOKABLE static double mainHeight(bool receiverTab, double receiverHeight);
    Q_INVOKABLE static double panelHeight();
    Q_INVOKABLE static double nextReceiverHeight(double current, double measured);

    // The desktop's display settings tool, where one is installed.
    static bool displaySettingsAvailable();
    Q_INVOKABLE static bool openDisplaySettings();
};

} // namespace tavelin::ui

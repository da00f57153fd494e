// Qt Quick Test of the controls against a real model on its own engine thread. The
// tests reach the model through `probe`, and the views through `bridge` and `rules` as
// in the program.

#include <memory>

#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>

#include "tests/ui/simulated_engine.hpp"
#include "ui/model_bridge.hpp"
#include "ui/view_rules.hpp"

namespace tavelin::testing {

// The model side of the tests: sets and reads fields on the engine, and lets the
// traffic between the threads settle.
class Probe : public QObject {
    Q_OBJECT
public:
    explicit Probe(SimulatedEngine& engine) : engine_(engine) {}

    Q_INVOKABLE void settle() { engine_.settle(); }

    Q_INVOKABLE void set(const QString& field, const QVariant& value) {
        engine_.call([&](AppModel& m) {
            const auto text = value.toString().toStdString();
            if (field == "width") m.width.set(text);
            else if (field == "height") m.height.set(text);
            else if (field == "isBusy") m.isBusy.set(value.toBool());
            else if (field == "receiverBrightness") m.receiverBrightness.set(value.toDouble());
            else if (field == "receiverContrast") m.receiverContrast.set(value.toDouble());
            else if (field == "receiverSaturation") m.receiverSaturation.set(value.toDouble());
            else if (field == "receiverRotation") m.receiverRotation.set(value.toInt());
            else if (field == "receiverFlip") m.receiverFlip.set(value.toBool());
            else if (field == "receiverBlank") m.receiverBlank.set(value.toBool());
            else if (field == "receiverFit") m.receiverFit.set(text);
            else qFatal("probe cannot set %s", qPrintable(field));
        });
    }

    Q_INVOKABLE QVariant get(const QString& field) {
        return engine_.call([&](AppModel& m) -> QVariant {
            if (field == "width") return QString::fromStdString(m.width());
            if (field == "height") return QString::fromStdString(m.height());
            if (field == "bitrate") return m.bitrate();
            if (field == "receiverBrightness") return m.receiverBrightness();
            if (field == "receiverContrast") return m.receiverContrast();
            if (field == "receiverSaturation") return m.receiverSaturation();
            if (field == "receiverRotation") return static_cast<int>(m.receiverRotation());
            if (field == "receiverFlip") return m.receiverFlip();
            if (field == "receiverBlank") return m.receiverBlank();
            if (field == "receiverFit") return QString::fromStdString(m.receiverFit());
            if (field == "selectedDisplayID") return QString::fromStdString(m.selectedDisplayID().uuidString());
            if (field == "mirrorMain") return m.selectedDisplay() && m.selectedDisplay()->mirrorMain.value_or(false);
            qFatal("probe cannot read %s", qPrintable(field));
        });
    }

    // A second saved display, not selected.
    Q_INVOKABLE void addSavedDisplay() {
        engine_.call([](AppModel& m) {
            m.displayProfiles.modify([](std::vector<DisplayProfile>& profiles) {
                profiles.emplace_back(UUID::random(), "Second", 1280, 720, 60, 20, false, false);
            });
        });
    }

private:
    SimulatedEngine& engine_;
};

class Setup : public QObject {
    Q_OBJECT
public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine* qml) {
        if (!engine_) {
            engine_ = std::make_unique<SimulatedEngine>();
            bridge_ = std::make_unique<ui::ModelBridge>(engine_->model(), engine_->context.get_executor());
            bridge_->attach();
            probe_ = std::make_unique<Probe>(*engine_);
            engine_->settle();
        }
        qml->addImportPath("qrc:/qt/qml");
        qml->rootContext()->setContextProperty("bridge", bridge_.get());
        qml->rootContext()->setContextProperty("rules", &rules_);
        qml->rootContext()->setContextProperty("probe", probe_.get());
    }
    void cleanupTestCase() {
        // The engine stops before the bridge goes.
        engine_.reset();
        bridge_.reset();
    }

private:
    std::unique_ptr<SimulatedEngine> engine_;
    std::unique_ptr<ui::ModelBridge> bridge_;
    std::unique_ptr<Probe> probe_;
    ui::ViewRules rules_;
};

} // namespace tavelin::testing

QUICK_TEST_MAIN_WITH_SETUP(tavelin_ui_qml_tests, tavelin::testing::Setup)

#include "qml_tests_main.moc"

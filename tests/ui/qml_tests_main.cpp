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

// The model side of the tests: a second bridge on the same model sets and reads its
// fields, and the traffic between the threads settles before each.
class Probe : public QObject {
    Q_OBJECT
public:
    explicit Probe(SimulatedEngine& engine) : engine_(engine), model_(engine.model(), engine.context.get_executor()) {
        model_.attach();
    }

    Q_INVOKABLE void settle() { engine_.settle(); }
    Q_INVOKABLE void set(const QString& field, const QVariant& value) {
        settle();
        if (!model_.setProperty(qPrintable(field), value)) qFatal("probe cannot set %s", qPrintable(field));
        settle();
    }
    Q_INVOKABLE QVariant get(const QString& field) {
        settle();
        return model_.property(qPrintable(field));
    }
    // A display operation runs: the model refuses selection and mirroring.
    Q_INVOKABLE void setBusy(bool busy) {
        engine_.call([busy](AppModel& m) { m.isBusy.set(busy); });
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
    ui::ModelBridge model_;
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
        // The engine stops before the bridges go.
        engine_.reset();
        bridge_.reset();
        probe_.reset();
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

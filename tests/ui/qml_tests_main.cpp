// Qt Quick Test of the controls against a real model on its own engine thread. The
// views reach it through `bridge` and `rules` as in the program, the tests through
// `probe`.

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>

#include "tests/ui/simulated_engine.hpp"
#include "ui/model_bridge.hpp"
#include "ui/view_rules.hpp"

namespace tavelin::testing {

// Also the tests' `probe`: a second bridge on the same model sets and reads its fields,
// the traffic between the threads settled before each.
class Setup : public QObject {
    Q_OBJECT
public:
    Q_INVOKABLE void set(const QString& field, const QVariant& value) {
        engine_->settle();
        if (!probe_->setProperty(qPrintable(field), value)) qFatal("probe cannot set %s", qPrintable(field));
        engine_->settle();
    }
    Q_INVOKABLE QVariant get(const QString& field) { engine_->settle(); return probe_->property(qPrintable(field)); }
    // A display operation runs: the model refuses selection and mirroring.
    Q_INVOKABLE void setBusy(bool busy) { engine_->call([busy](AppModel& m) { m.isBusy.set(busy); }); }
    Q_INVOKABLE void addSavedDisplay() {
        engine_->call([](AppModel& m) {
            m.displayProfiles.modify([](std::vector<DisplayProfile>& profiles) {
                profiles.emplace_back(UUID::random(), "Second", 1280, 720, 60, 20, false, false);
            });
        });
    }

    // The autostart entry's text, empty without one; blocked, a file is where its folder goes.
    Q_INVOKABLE QString autostartEntry(bool block = false) {
        engine_->settle();
        const auto folder = engine_->autostartEntry.parent_path();
        if (block) std::filesystem::remove_all(folder), std::ofstream(folder) << "not a folder";
        return QString::fromStdString((std::ostringstream() << std::ifstream(engine_->autostartEntry).rdbuf()).str());
    }

public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine* qml) {
        if (!engine_) {
            engine_ = std::make_unique<SimulatedEngine>();
            for (auto* bridge : {&bridge_, &probe_}) {
                *bridge = std::make_unique<ui::ModelBridge>(engine_->model, engine_->context.get_executor());
                (*bridge)->attach();
            }
            engine_->settle();
        }
        qml->addImportPath("qrc:/qt/qml");
        qml->rootContext()->setContextProperty("bridge", bridge_.get());
        qml->rootContext()->setContextProperty("rules", &rules_);
        qml->rootContext()->setContextProperty("probe", this);
    }

private:
    std::unique_ptr<ui::ModelBridge> bridge_, probe_;
    std::unique_ptr<SimulatedEngine> engine_; // stops before the bridges go
    ui::ViewRules rules_;
};

} // namespace tavelin::testing

QUICK_TEST_MAIN_WITH_SETUP(tavelin_ui_qml_tests, tavelin::testing::Setup)

#include "qml_tests_main.moc"

import QtQuick
import QtQuick.Controls

// A slider that reports every change the user makes as edited(value): by pointer and
// keys (moved()), and by the accessibility actions and value interface, which set the
// value without moved(). It shows modelValue otherwise; valueText is what a screen
// reader says for the value ("35 Mbps").
Slider {
    id: slider
    property real modelValue
    property string valueText
    signal edited(real value)
    // The names under which Qt's accessibility value interface looks up the range.
    readonly property real minimumValue: from
    readonly property real maximumValue: to

    value: modelValue
    Accessible.description: valueText
    onMoved: edited(value)
    // Once built, a value that is neither the user's drag nor the model's (clamped to the
    // range, as the slider shows it) was set through accessibility: it lands on a step, or
    // on the model's value again while the slider is disabled.
    property bool built: false
    Component.onCompleted: built = true
    onValueChanged: {
        if (!built || pressed || value === Math.min(Math.max(modelValue, from), to)) return
        if (enabled) edited(valueAt(position))
        else value = Qt.binding(() => modelValue)
    }
}

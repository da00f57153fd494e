import QtQuick
import QtQuick.Controls

// The resolution presets; an extra "Custom" entry stands for typed values that are
// no preset.
Picker {
    property bool spaced: false
    Accessible.name: "Resolution preset"
    readonly property var texts: spaced ? rules.spacedPresets : rules.presets
    model: bridge.presetIndex >= 0 ? texts : texts.concat(["Custom"])
    currentIndex: bridge.presetIndex >= 0 ? bridge.presetIndex : texts.length
    onActivated: (index) => {
        if (index < texts.length) bridge.choosePreset(index)
    }
}

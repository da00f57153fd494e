import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The mode of the selected display: preset, size, refresh rate, HiDPI and bitrate.
GridLayout {
    property bool sizeFields: true
    columns: 2
    columnSpacing: 10
    rowSpacing: 8

    Label { text: "Resolution preset" }
    PresetPicker { objectName: "presetPicker"; Layout.fillWidth: true }

    Label { text: "Width"; visible: sizeFields }
    RowLayout {
        visible: sizeFields
        GlassTextField {
            objectName: "widthField"
            Layout.fillWidth: true
            text: bridge.width
            onTextEdited: bridge.width = text
            Accessible.name: "Pixel width"
        }
        Label { text: "pixels" }
    }
    Label { text: "Height"; visible: sizeFields }
    RowLayout {
        visible: sizeFields
        GlassTextField {
            objectName: "heightField"
            Layout.fillWidth: true
            text: bridge.height
            onTextEdited: bridge.height = text
            Accessible.name: "Pixel height"
        }
        Label { text: "pixels" }
    }

    Label { text: "Refresh rate" }
    RefreshRatePicker { Layout.fillWidth: true }

    Item { implicitWidth: 1 }
    ToggleSwitch {
        text: "HiDPI (2×)"
        checked: bridge.hiDPI
        onToggled: bridge.hiDPI = checked
    }

    Label { text: "Bitrate" }
    RowLayout {
        BitrateSlider { objectName: "bitrateSlider"; Layout.fillWidth: true }
        Label { text: rules.megabits(bridge.bitrate); Layout.minimumWidth: 64 }
    }
}

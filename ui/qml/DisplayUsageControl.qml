import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Extend the desktop or mirror the main display, for the selected saved display.
ColumnLayout {
    spacing: 4
    // Off where the page around it already says that a change restarts sharing.
    property bool restartNote: true
    RowLayout {
        Label { text: "Use display as" }
        Picker {
            objectName: "usagePicker"
            Accessible.name: "Use display as"
            Layout.fillWidth: true
            model: ["Extend desktop", "Mirror main display"]
            currentIndex: bridge.selectedMirrorMain ? 1 : 0
            onActivated: (index) => bridge.mirrorMainDisplay(index === 1)
        }
    }
    Note {
        Layout.fillWidth: true
        text: bridge.selectedMirrorMain
              ? "Shows this computer’s main display. Video keeps its proportions within the selected pixel size."
              : "Adds a separate desktop for moving windows onto."
    }
    Note {
        visible: restartNote
        Layout.fillWidth: true
        text: "Changing modes restarts sharing. Reconnect with the same receiver link."
    }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The tray icon's panel: header, the display controls, and the way to the window or out.
ApplicationWindow {
    id: panel
    objectName: "trayPanel"
    title: "Tavelin"
    flags: Qt.Popup
    visible: false
    width: rules.panelWidth
    height: rules.panelHeight()

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 8
        // Header, controls and the window row stand further apart than the controls do.
        spacing: 18

        RowLayout {
            spacing: 8
            DisplayGlyph { }
            Label { text: "Tavelin"; font.pixelSize: 17; font.weight: Font.DemiBold }
            BusyIndicator { running: bridge.isBusy; visible: bridge.isBusy; Layout.preferredWidth: 20; Layout.preferredHeight: 20 }
            Item { Layout.fillWidth: true }
        }

        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            ScrollBar.vertical.policy: ScrollBar.AlwaysOn
            DisplayControls { width: scroll.availableWidth - 12 }
        }

        RowLayout {
            PushButton {
                text: "Show window"
                onClicked: { panel.hide(); bridge.showWindow("receiver") }
            }
            Item { Layout.fillWidth: true }
            PushButton { text: "Quit"; onClicked: shell.quit() }
        }
    }

    // Escape closes the panel; an open list or dialog inside takes its Escape first.
    Shortcut {
        sequence: "Escape"
        onActivated: panel.hide()
    }

    ArrangeHelp { }
}

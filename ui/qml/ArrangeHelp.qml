import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// How to place the virtual display beside the others; shown while the model asks.
Dialog {
    id: sheet
    objectName: "arrangeHelp"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(460, parent ? parent.width - 40 : 460)
    modal: true
    // Escape closes it as Done does; it takes focus when it opens, so that Escape reaches it.
    closePolicy: Popup.CloseOnEscape
    focus: true
    visible: bridge.showArrangeHelp
    padding: 20
    topPadding: 10
    header: RowLayout {
        spacing: 10
        DisplayGlyph { Layout.leftMargin: 20; Layout.topMargin: 18 }
        Label { text: "Arrange your displays"; font.pixelSize: 18; font.weight: Font.DemiBold; Layout.topMargin: 18 }
        Item { Layout.fillWidth: true }
    }
    ColumnLayout {
        anchors.fill: parent
        spacing: 12
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: "In display settings, open the arrangement of your displays. Drag Tavelin to match where your other computer sits on your desk."
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: "If the arrangement is missing, start the extra display first. You need at least two active displays. You can also use the placement buttons in this app."
        }
    }
    footer: DialogButtonBox {
        PushButton {
            objectName: "openDisplaySettings"
            text: "Open display settings"
            visible: rules.displaySettingsAvailable
            DialogButtonBox.buttonRole: DialogButtonBox.ActionRole
            onClicked: rules.openDisplaySettings()
        }
        PushButton {
            objectName: "arrangeHelpDone"
            text: "Done"
            highlighted: true
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
        }
    }
    // Return closes the sheet, like its default button.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: sheet.visible
        onActivated: bridge.showArrangeHelp = false
    }
    onClosed: if (bridge.showArrangeHelp) bridge.showArrangeHelp = false
}

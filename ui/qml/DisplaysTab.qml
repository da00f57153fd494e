import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Saved displays on the left; the selected one's name, mode and placement on the right.
RowLayout {
    id: tab
    spacing: 14
    property string removing: ""

    ColumnLayout {
        Layout.preferredWidth: 210
        Layout.fillWidth: false
        Layout.fillHeight: true
        spacing: 8
        RowLayout {
            Label { text: "Your displays"; font.weight: Font.DemiBold; Layout.fillWidth: true }
            PushButton { text: "Add display"; icon.name: "list-add"; onClicked: bridge.addDisplay() }
        }
        ListView {
            id: list
            objectName: "displayList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: bridge.displayProfiles
            visible: count > 0
            delegate: ItemDelegate {
                id: entry
                required property var modelData
                width: ListView.view.width
                highlighted: modelData.id === bridge.selectedDisplayID
                onClicked: bridge.selectDisplay(modelData.id)
                Accessible.name: modelData.name + (modelData.active ? ", connected" : ", disconnected")
                Accessible.onPressAction: clicked()
                FocusFrame { control: entry }
                contentItem: RowLayout {
                    spacing: 8
                    DisplayGlyph { Layout.preferredWidth: 22; Layout.preferredHeight: 18; tint: palette.text }
                    ColumnLayout {
                        spacing: 0
                        Layout.fillWidth: true
                        Label { text: modelData.name; elide: Text.ElideRight; Layout.fillWidth: true }
                        Label { text: modelData.active ? "Connected" : "Disconnected"; font.pixelSize: 11; opacity: 0.7 }
                    }
                }
            }
        }
        ColumnLayout {
            visible: list.count === 0
            Layout.fillHeight: true
            Label { text: "No saved displays"; font.weight: Font.DemiBold }
            Note { text: "Add a display to extend your desktop."; Layout.fillWidth: true }
            PushButton { text: "Add display"; icon.name: "list-add"; onClicked: bridge.addDisplay() }
        }
        Note { text: "Displays keep their names and settings when you reopen the app."; Layout.fillWidth: true }
        ToggleSwitch {
            objectName: "openAtLoginSwitch"
            text: "Open Tavelin at login"
            Accessible.name: text
            Layout.fillWidth: true
            checked: bridge.openAtLogin
            onToggled: bridge.setOpenAtLogin(checked)
        }
        Label {
            objectName: "openAtLoginError"
            visible: text !== ""
            text: bridge.openAtLoginError
            color: "#d0312d"
            // The sentence names a file, a path no word break would fit in.
            wrapMode: Text.Wrap
            Layout.fillWidth: true
            Accessible.role: Accessible.AlertMessage
        }
    }

    ScrollView {
        // Sized by the room left, not by its content: the content's width follows the
        // scroll view's, and an implicit size taken from it would lay the row out again
        // and again.
        Layout.fillWidth: true
        Layout.fillHeight: true
        Layout.preferredWidth: 1
        Layout.preferredHeight: 1
        contentWidth: availableWidth
        visible: bridge.selectedDisplayName !== ""

        ColumnLayout {
            width: parent.width
            spacing: 12
            Label { text: "Display settings"; font.weight: Font.DemiBold }
            RowLayout {
                Layout.fillWidth: true
                GlassTextField {
                    id: nameField
                    objectName: "nameField"
                    Layout.fillWidth: true
                    text: bridge.selectedDisplayName
                    Accessible.name: "Display name"
                    placeholderText: "Display name"
                }
                PushButton { text: "Rename"; Accessible.name: "Rename display"; onClicked: bridge.renameDisplay(bridge.selectedDisplayID, nameField.text) }
            }
            RowLayout {
                PushButton {
                    text: bridge.selectedDisplayActive ? "Disconnect display" : "Connect display"
                    onClicked: bridge.selectedDisplayActive ? bridge.disableDisplay(bridge.selectedDisplayID)
                                                            : bridge.connectDisplay(bridge.selectedDisplayID)
                }
                PushButton {
                    text: "Remove…"
                    Accessible.name: "Remove display…"
                    onClicked: { tab.removing = bridge.selectedDisplayID; confirmation.open() }
                }
            }
            ModeForm { Layout.fillWidth: true }
            PushButton { text: "Apply settings"; icon.name: "object-select"; onClicked: bridge.applyDisplayMode() }
            Note {
                Layout.fillWidth: true
                text: "Applying settings or renaming a shared display restarts its stream. Reconnect the browser using the same receiver link."
            }
            SectionTitle { text: "Placement" }
            Flow {
                Layout.fillWidth: true
                spacing: 6
                Repeater {
                    model: rules.directions
                    PlacementButton { }
                }
            }
            Flow {
                Layout.fillWidth: true
                spacing: 6
                PushButton { text: "Make main display"; onClicked: bridge.makeMainDisplay() }
                PushButton { text: "Arrange displays in display settings…"; onClicked: bridge.arrangeDisplays() }
                PushButton { text: "Remember current arrangement"; onClicked: bridge.rememberArrangement() }
            }
            DisplayUsageControl { Layout.fillWidth: true; restartNote: false }
            Note {
                visible: bridge.isRunning
                Layout.fillWidth: true
                text: "Stop sharing before selecting a different display."
            }
        }
    }

    Dialog {
        id: confirmation
        objectName: "removeConfirmation"
        focus: true // Escape cancels
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        title: "Remove this saved display? Its windows will move to another display."
        footer: DialogButtonBox {
            PushButton { text: "Cancel"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            PushButton {
                text: "Remove display"
                palette.buttonText: "#d0312d"
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
        onAccepted: bridge.removeDisplay(tab.removing)
        onClosed: tab.removing = ""
    }
}

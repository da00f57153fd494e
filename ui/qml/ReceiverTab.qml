import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Set up the extra display, start and stop sharing, read the code and link.
ColumnLayout {
    id: tab
    spacing: 16

    RowLayout {
        spacing: 12
        DisplayGlyph { Layout.preferredWidth: 44; Layout.preferredHeight: 36 }
        ColumnLayout {
            spacing: 2
            Label { text: "A little more room."; font.pixelSize: 22; font.weight: Font.DemiBold }
            Label { text: "Your desktop, extended to any browser."; opacity: 0.7 }
        }
    }

    ColumnLayout {
        spacing: 4
        RowLayout {
            Rectangle {
                width: 10; height: 10; radius: 5
                color: bridge.isRunning ? "#3dd6b0" : "#9a9a9a"
            }
            Label { objectName: "statusText"; text: bridge.status; Layout.fillWidth: true; elide: Text.ElideRight }
            BusyIndicator { running: bridge.isBusy; visible: bridge.isBusy; Layout.preferredWidth: 20; Layout.preferredHeight: 20 }
        }
        Label {
            objectName: "errorText"
            visible: bridge.error !== ""
            text: bridge.error
            color: "#d0312d"
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
    }

    GroupBox {
        title: "EXTRA DISPLAY"
        Layout.fillWidth: true
        enabled: !bridge.isRunning && !bridge.isBusy
        GridLayout {
            anchors.fill: parent
            columns: 2
            columnSpacing: 10
            rowSpacing: 8

            Label { text: "Width" }
            RowLayout {
                GlassTextField {
                    objectName: "receiverWidthField"
                    Layout.fillWidth: true
                    text: bridge.width
                    onTextEdited: bridge.width = text
                    Accessible.name: "Pixel width"
                }
                Label { text: "pixels" }
            }
            Label { text: "Height" }
            RowLayout {
                GlassTextField {
                    objectName: "receiverHeightField"
                    Layout.fillWidth: true
                    text: bridge.height
                    onTextEdited: bridge.height = text
                    Accessible.name: "Pixel height"
                }
                Label { text: "pixels" }
            }

            Item { implicitWidth: 1 }
            PushButton {
                objectName: "presetMenuButton"
                text: "Resolution presets"
                onClicked: presetMenu.open()
                Menu {
                    id: presetMenu
                    Repeater {
                        model: rules.spacedPresets
                        MenuItem {
                            required property int index
                            required property string modelData
                            text: modelData
                            onTriggered: bridge.choosePreset(index)
                        }
                    }
                }
            }

            Label { text: "Refresh rate" }
            RowLayout {
                RefreshRatePicker { Layout.fillWidth: true }
                ToggleSwitch { text: "HiDPI (2×)"; checked: bridge.hiDPI; onToggled: bridge.hiDPI = checked }
            }

            Label { text: "Video bitrate" }
            RowLayout {
                BitrateSlider { Layout.fillWidth: true }
                Label { text: rules.megabits(bridge.bitrate); Layout.minimumWidth: 64 }
            }

            Item { implicitWidth: 1 }
            ColumnLayout {
                ToggleSwitch {
                    objectName: "smoothMotionSwitch"
                    text: "Prioritize smooth motion"
                    checked: bridge.smoothMotion
                    onToggled: bridge.smoothMotion = checked
                }
                ToggleSwitch {
                    text: "Show pointer when using this computer’s mouse or touchpad"
                    checked: bridge.showCursor
                    onToggled: bridge.showCursor = checked
                }
            }

            Note {
                Layout.columnSpan: 2
                Layout.fillWidth: true
                text: "Resolution is the transmitted pixel size. HiDPI makes text and controls twice as large. High refresh rates depend on the host computer, network, and receiver display."
            }
        }
    }

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 8
        RowLayout {
            SectionTitle { text: "BROWSER RECEIVER" }
            Item { Layout.fillWidth: true }
            PushButton {
                visible: !bridge.isRunning
                flat: true
                text: "Refresh"
                Accessible.name: "Refresh network addresses"
                onClicked: bridge.refreshNetwork()
            }
        }

        ColumnLayout {
            visible: bridge.isRunning
            Layout.fillWidth: true
            spacing: 8
            // Said by a screen reader as it appears and as the code or link changes.
            Accessible.role: Accessible.AlertMessage
            Accessible.name: codeText.Accessible.name + ", " + linkText.Accessible.name
            RowLayout {
                // The code's own accessible name says this.
                Label { text: "Pairing code"; Accessible.ignored: true }
                SelectableText {
                    id: codeText
                    objectName: "pairingCodeText"
                    label: "Pairing code"
                    text: bridge.pairingCode
                    font.pixelSize: 25
                    font.weight: Font.DemiBold
                }
            }
            SelectableText {
                id: linkText
                objectName: "receiverLinkText"
                label: "Receiver link"
                text: bridge.receiverURL
                font.pixelSize: 15
            }
            Flow {
                Layout.fillWidth: true
                spacing: 8
                PushButton {
                    objectName: "copyLinkButton"
                    text: "Copy receiver link"
                    highlighted: true
                    icon.name: "edit-copy"
                    palette.button: "#3dd6b0"
                    onClicked: bridge.copyReceiverLink()
                }
                PushButton { text: "Disconnect receiver"; onClicked: bridge.disconnectReceiver() }
                PushButton { text: "Generate new code"; onClicked: bridge.generatePairingCode() }
                PushButton { text: "Test motion"; onClicked: bridge.toggleMotionTest() }
            }
            Note {
                Layout.fillWidth: true
                text: "Open this link in a browser on the other computer, on the same local network. Keep the link private: it grants access to this display."
            }
        }

        GridLayout {
            visible: !bridge.isRunning
            enabled: !bridge.isBusy
            columns: 2
            Layout.fillWidth: true
            Label { text: "Host computer IPv4" }
            Picker {
                objectName: "addressPicker"
                Accessible.name: "Host computer IPv4 address"
                Layout.fillWidth: true
                model: bridge.addresses.length > 0 ? bridge.addresses : ["No network"]
                currentIndex: bridge.addresses.length > 0 ? Math.max(0, bridge.addresses.indexOf(bridge.selectedAddress)) : 0
                onActivated: (index) => {
                    if (bridge.addresses.length > 0) bridge.selectedAddress = bridge.addresses[index]
                }
            }
            Label { text: "Port" }
            GlassTextField {
                objectName: "portField"
                Accessible.name: "Port"
                Layout.fillWidth: true
                placeholderText: "8420"
                text: bridge.port
                onTextEdited: bridge.port = text
            }
        }
    }

    ColumnLayout {
        visible: !bridge.mousePermissionGranted
        Layout.fillWidth: true
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: "The display server accepts no injected input (XTEST), so the receiver cannot move the pointer."
        }
        PushButton { text: "Enable receiver mouse…"; onClicked: bridge.requestMousePermission() }
    }

    RowLayout {
        Layout.fillWidth: true
        PushButton {
            visible: !bridge.permissionGranted
            text: "Check screen capture again"
            onClicked: bridge.refreshPermission()
        }
        PushButton { text: "Arrange displays"; icon.name: "video-display"; onClicked: bridge.arrangeDisplays() }
        Item { Layout.fillWidth: true }
        PushButton {
            objectName: "sharingButton"
            text: bridge.isRunning ? "Stop sharing" : "Start sharing"
            icon.name: bridge.isRunning ? "media-playback-stop" : "media-playback-start"
            highlighted: true
            enabled: !bridge.isBusy
            onClicked: bridge.isRunning ? bridge.stop() : bridge.start()
        }
    }
}

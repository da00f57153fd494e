import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The compact control set of the tray panel and of the quick-controls popover.
ColumnLayout {
    spacing: 14

    ColumnLayout {
        Layout.fillWidth: true
        RowLayout {
            Label { text: "Display" }
            ComboBox {
                objectName: "displayPicker"
                Layout.fillWidth: true
                model: bridge.displayProfiles
                textRole: "name"
                valueRole: "id"
                currentIndex: bridge.displayProfiles.findIndex((p) => p.id === bridge.selectedDisplayID)
                onActivated: (index) => bridge.selectDisplay(bridge.displayProfiles[index].id)
            }
        }
        Flow {
            Layout.fillWidth: true
            spacing: 6
            Button { text: "Add display"; onClicked: bridge.addDisplay() }
            Button { text: "Manage displays…"; onClicked: bridge.showWindow("displays") }
        }
    }

    Flow {
        Layout.fillWidth: true
        spacing: 6
        Button {
            text: bridge.isRunning ? "Stop sharing" : "Start sharing"
            icon.name: bridge.isRunning ? "media-playback-stop" : "media-playback-start"
            highlighted: true
            enabled: !bridge.isBusy
            onClicked: bridge.isRunning ? bridge.stop() : bridge.start()
        }
        Button { text: "Copy"; onClicked: bridge.copyReceiverLink() }
    }
    RowLayout {
        Label { text: "Pairing code: " + bridge.pairingCode }
        Button { text: "New code"; icon.name: "view-refresh"; onClicked: bridge.generatePairingCode() }
    }
    Flow {
        Layout.fillWidth: true
        spacing: 6
        Button { text: "Disconnect"; onClicked: bridge.disconnectReceiver() }
        Button { text: "Preview"; onClicked: bridge.togglePreview() }
        Button { text: "Test motion"; onClicked: bridge.toggleMotionTest() }
    }

    SectionTitle { text: "Display mode" }
    ModeForm { sizeFields: false; Layout.fillWidth: true }
    Note { text: "Change and apply settings in the Displays tab."; Layout.fillWidth: true }

    Switch { text: "Show pointer when using this computer’s mouse or touchpad"; checked: bridge.showCursor; onToggled: bridge.showCursor = checked }
    Switch { text: "Prioritize smooth motion"; checked: bridge.smoothMotion; onToggled: bridge.smoothMotion = checked }
    Note {
        Layout.fillWidth: true
        text: "Keeps the requested resolution and frame rate. Switch off to let the sender reduce frame rate under load."
    }

    SectionTitle { text: "Receiver image" }
    Note {
        Layout.fillWidth: true
        text: "Adjusts the browser image. Hardware brightness stays under the receiving computer’s control."
    }
    GridLayout {
        Layout.fillWidth: true
        columns: 3
        Label { text: "Brightness"; Layout.preferredWidth: 75 }
        Slider {
            objectName: "brightnessSlider"
            Layout.fillWidth: true; from: 0.1; to: 1.5
            value: bridge.receiverBrightness; onMoved: bridge.receiverBrightness = value
        }
        Label { text: rules.percent(bridge.receiverBrightness); Layout.minimumWidth: 40 }
        Label { text: "Contrast"; Layout.preferredWidth: 75 }
        Slider {
            objectName: "contrastSlider"
            Layout.fillWidth: true; from: 0.5; to: 1.5
            value: bridge.receiverContrast; onMoved: bridge.receiverContrast = value
        }
        Label { text: rules.percent(bridge.receiverContrast); Layout.minimumWidth: 40 }
        Label { text: "Saturation"; Layout.preferredWidth: 75 }
        Slider {
            objectName: "saturationSlider"
            Layout.fillWidth: true; from: 0.0; to: 2.0
            value: bridge.receiverSaturation; onMoved: bridge.receiverSaturation = value
        }
        Label { text: rules.percent(bridge.receiverSaturation); Layout.minimumWidth: 40 }
    }
    GridLayout {
        columns: 2
        Label { text: "Rotation" }
        ComboBox {
            objectName: "rotationPicker"
            model: rules.rotations.map((degrees) => rules.degrees(degrees))
            currentIndex: rules.rotations.indexOf(bridge.receiverRotation)
            onActivated: (index) => bridge.receiverRotation = rules.rotations[index]
        }
        Label { text: "Scale" }
        ComboBox {
            objectName: "scalePicker"
            model: ["Fit entire desktop", "Fill (crop edges)"]
            currentIndex: bridge.receiverFit === "cover" ? 1 : 0
            onActivated: (index) => bridge.receiverFit = index === 1 ? "cover" : "contain"
        }
    }
    Switch { objectName: "blankSwitch"; text: "Blank receiver"; checked: bridge.receiverBlank; onToggled: bridge.receiverBlank = checked }
    Switch { objectName: "flipSwitch"; text: "Flip horizontally"; checked: bridge.receiverFlip; onToggled: bridge.receiverFlip = checked }
    Button { objectName: "resetImageButton"; text: "Reset image adjustments"; onClicked: bridge.resetImage() }

    SectionTitle { text: "Diagnostics" }
    Label {
        Layout.fillWidth: true
        text: bridge.streamDiagnostics
        font.family: "monospace"
        font.pixelSize: 11
        wrapMode: Text.WrapAnywhere
    }
    Flow {
        Layout.fillWidth: true
        spacing: 6
        Button { text: "Refresh measurements"; onClicked: bridge.refreshDiagnostics() }
        Button { text: "Check screen capture again"; onClicked: bridge.refreshPermission() }
        Button { text: "Refresh network addresses"; onClicked: bridge.refreshNetwork() }
    }

    SectionTitle { text: "Arrangement & mirroring" }
    DisplayUsageControl { Layout.fillWidth: true }
    Note { text: "Place the extra display next to the main display:"; Layout.fillWidth: true }
    Flow {
        Layout.fillWidth: true
        spacing: 6
        Repeater {
            model: rules.directions
            Button { required property string modelData; text: modelData; onClicked: bridge.placeDisplay(modelData) }
        }
    }
    Flow {
        Layout.fillWidth: true
        spacing: 6
        Button { text: "Make main display"; onClicked: bridge.makeMainDisplay() }
        Button { text: "Arrange in display settings…"; onClicked: bridge.arrangeDisplays() }
    }

    ColumnLayout {
        visible: !bridge.mousePermissionGranted
        Layout.fillWidth: true
        Button { text: "Enable receiver mouse…"; onClicked: bridge.requestMousePermission() }
        Note {
            Layout.fillWidth: true
            text: "The display server must accept injected input (XTEST) for the receiver mouse to work."
        }
    }
}

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
            Picker {
                objectName: "displayPicker"
                Accessible.name: "Display"
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
            PushButton { text: "Add display"; onClicked: bridge.addDisplay() }
            PushButton { text: "Manage displays…"; onClicked: bridge.showWindow("displays") }
        }
    }

    Flow {
        Layout.fillWidth: true
        spacing: 6
        PushButton {
            text: bridge.isRunning ? "Stop sharing" : "Start sharing"
            icon.name: bridge.isRunning ? "media-playback-stop" : "media-playback-start"
            highlighted: true
            enabled: !bridge.isBusy
            onClicked: bridge.isRunning ? bridge.stop() : bridge.start()
        }
        PushButton { text: "Copy"; Accessible.name: "Copy receiver link"; onClicked: bridge.copyReceiverLink() }
    }
    RowLayout {
        Label { text: "Pairing code: " + bridge.pairingCode }
        PushButton { text: "New code"; Accessible.name: "New pairing code"; icon.name: "view-refresh"; onClicked: bridge.generatePairingCode() }
    }
    Flow {
        Layout.fillWidth: true
        spacing: 6
        PushButton { text: "Disconnect"; Accessible.name: "Disconnect receiver"; onClicked: bridge.disconnectReceiver() }
        PushButton { text: "Preview"; Accessible.name: "Preview of the sent video"; onClicked: bridge.togglePreview() }
        PushButton { text: "Test motion"; onClicked: bridge.toggleMotionTest() }
    }

    SectionTitle { text: "Display mode" }
    ModeForm { sizeFields: false; Layout.fillWidth: true }
    Note { text: "Change and apply settings in the Displays tab."; Layout.fillWidth: true }

    ToggleSwitch { text: "Show pointer when using this computer’s mouse or touchpad"; checked: bridge.showCursor; onToggled: bridge.showCursor = checked }
    ToggleSwitch { text: "Prioritize smooth motion"; checked: bridge.smoothMotion; onToggled: bridge.smoothMotion = checked }
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
        ValueSlider {
            objectName: "brightnessSlider"
            Layout.fillWidth: true; from: 0.1; to: 1.5
            Accessible.name: "Receiver brightness"; valueText: rules.percent(modelValue)
            modelValue: bridge.receiverBrightness; onEdited: (level) => bridge.receiverBrightness = level
        }
        Label { text: rules.percent(bridge.receiverBrightness); Layout.minimumWidth: 40 }
        Label { text: "Contrast"; Layout.preferredWidth: 75 }
        ValueSlider {
            objectName: "contrastSlider"
            Layout.fillWidth: true; from: 0.5; to: 1.5
            Accessible.name: "Receiver contrast"; valueText: rules.percent(modelValue)
            modelValue: bridge.receiverContrast; onEdited: (level) => bridge.receiverContrast = level
        }
        Label { text: rules.percent(bridge.receiverContrast); Layout.minimumWidth: 40 }
        Label { text: "Saturation"; Layout.preferredWidth: 75 }
        ValueSlider {
            objectName: "saturationSlider"
            Layout.fillWidth: true; from: 0.0; to: 2.0
            Accessible.name: "Receiver saturation"; valueText: rules.percent(modelValue)
            modelValue: bridge.receiverSaturation; onEdited: (level) => bridge.receiverSaturation = level
        }
        Label { text: rules.percent(bridge.receiverSaturation); Layout.minimumWidth: 40 }
    }
    GridLayout {
        columns: 2
        Label { text: "Rotation" }
        Picker {
            objectName: "rotationPicker"
            Accessible.name: "Receiver rotation"
            model: rules.rotations.map((degrees) => rules.degrees(degrees))
            currentIndex: rules.rotations.indexOf(bridge.receiverRotation)
            onActivated: (index) => bridge.receiverRotation = rules.rotations[index]
        }
        Label { text: "Scale" }
        Picker {
            objectName: "scalePicker"
            Accessible.name: "Receiver scale"
            model: ["Fit entire desktop", "Fill (crop edges)"]
            currentIndex: bridge.receiverFit === "cover" ? 1 : 0
            onActivated: (index) => bridge.receiverFit = index === 1 ? "cover" : "contain"
        }
    }
    ToggleSwitch { objectName: "blankSwitch"; text: "Blank receiver"; checked: bridge.receiverBlank; onToggled: bridge.receiverBlank = checked }
    ToggleSwitch { objectName: "flipSwitch"; text: "Flip horizontally"; checked: bridge.receiverFlip; onToggled: bridge.receiverFlip = checked }
    PushButton { objectName: "resetImageButton"; text: "Reset image adjustments"; onClicked: bridge.resetImage() }

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
        PushButton { text: "Refresh measurements"; onClicked: bridge.refreshDiagnostics() }
        PushButton { text: "Check screen capture again"; onClicked: bridge.refreshPermission() }
        PushButton { text: "Refresh network addresses"; onClicked: bridge.refreshNetwork() }
    }

    SectionTitle { text: "Arrangement & mirroring" }
    DisplayUsageControl { Layout.fillWidth: true }
    Note { text: "Place the extra display next to the main display:"; Layout.fillWidth: true }
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
        PushButton { text: "Arrange in display settings…"; onClicked: bridge.arrangeDisplays() }
    }

    ModeConfirmation { Layout.fillWidth: true }
    SystemDisplaysMenu { Layout.fillWidth: true; Layout.maximumWidth: parent.width }

    ColumnLayout {
        visible: !bridge.mousePermissionGranted
        Layout.fillWidth: true
        Layout.maximumWidth: parent.width
        PushButton { text: "Enable receiver mouse…"; onClicked: bridge.requestMousePermission() }
        Note {
            Layout.fillWidth: true
            text: "The display server must accept injected input (XTEST) for the receiver mouse to work."
        }
    }
}

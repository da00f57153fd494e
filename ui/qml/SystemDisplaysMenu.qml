import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The desktop's lit displays, Tavelin's own left out: each with its mode menu grouped
// by size, its brightness slider where the display has one, and its colour profile menu
// where profiles can be assigned.
ColumnLayout {
    id: menu
    visible: systemDisplays.available
    spacing: 8
    property bool expanded: true

    PushButton {
        objectName: "connectedDisplaysGroup"
        text: (menu.expanded ? "▾ " : "▸ ") + "Connected displays"
        flat: true
        Accessible.name: "Connected displays"
        onClicked: {
            menu.expanded = !menu.expanded
            if (menu.expanded) systemDisplays.reloadColorProfiles()
        }
        Component.onCompleted: systemDisplays.reloadColorProfiles()
    }

    Repeater {
        model: menu.expanded ? systemDisplays.displays : []
        ColumnLayout {
            id: row
            required property var modelData
            Layout.fillWidth: true
            spacing: 4

            RowLayout {
                Layout.fillWidth: true
                // A screen, on a keyboard for a laptop's own panel, on a stand otherwise.
                Item {
                    implicitWidth: 22; implicitHeight: 18
                    Rectangle { width: 18; height: 12; x: 2; radius: 2; color: "transparent"; border.color: palette.text; border.width: 2 }
                    Rectangle {
                        visible: row.modelData.builtIn
                        y: 14; width: 22; height: 3; radius: 1; color: palette.text
                    }
                    Rectangle {
                        visible: !row.modelData.builtIn
                        x: 9; y: 12; width: 4; height: 4; color: palette.text
                    }
                }
                ColumnLayout {
                    spacing: 0
                    Label { text: row.modelData.name; font.weight: Font.DemiBold }
                    Label { visible: row.modelData.main; text: "Main display"; font.pixelSize: 11; opacity: 0.7 }
                }
            }
            Label { text: row.modelData.currentLabel; opacity: 0.7 }

            PushButton {
                text: "Resolution && refresh rate"
                Accessible.name: "Resolution & refresh rate for " + row.modelData.name
                enabled: systemDisplays.pendingDisplayName === ""
                onClicked: modeMenu.open()
                Menu {
                    id: modeMenu
                    Instantiator {
                        model: row.modelData.modeGroups
                        delegate: Menu {
                            id: group
                            required property var modelData
                            title: modelData.title
                            Instantiator {
                                model: group.modelData.modes
                                delegate: MenuItem {
                                    required property var modelData
                                    text: modelData.label
                                    checkable: true
                                    checked: modelData.current
                                    onTriggered: systemDisplays.previewMode(row.modelData.id, modelData.id)
                                }
                                onObjectAdded: (index, item) => group.insertItem(index, item)
                                onObjectRemoved: (index, item) => group.removeItem(item)
                            }
                        }
                        onObjectAdded: (index, submenu) => modeMenu.insertMenu(index, submenu)
                        onObjectRemoved: (index, submenu) => modeMenu.removeMenu(submenu)
                    }
                }
            }

            RowLayout {
                visible: row.modelData.hasBrightness
                Layout.fillWidth: true
                Rectangle { width: 12; height: 12; radius: 6; color: "transparent"; border.color: palette.text; border.width: 2 }
                ValueSlider {
                    Layout.fillWidth: true
                    from: 0; to: 1
                    Accessible.name: "Brightness for " + row.modelData.name
                    valueText: row.modelData.brightnessPercent
                    modelValue: row.modelData.brightness
                    onEdited: (level) => systemDisplays.setBrightness(row.modelData.id, level)
                }
                Label { text: row.modelData.brightnessPercent; Layout.preferredWidth: 40 }
            }

            RowLayout {
                visible: row.modelData.colorProfileSupported
                Layout.fillWidth: true
                Label {
                    text: "Color: " + (row.modelData.colorProfileName || "factory profile")
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                }
                PushButton {
                    text: "Color profile"
                    Accessible.name: "Color profile for " + row.modelData.name
                    onClicked: profileMenu.open()
                    Menu {
                        id: profileMenu
                        MenuItem { text: "Restore factory profile"; onTriggered: systemDisplays.setColorProfile(row.modelData.id, "") }
                        MenuSeparator { }
                        Instantiator {
                            model: systemDisplays.colorProfiles
                            delegate: MenuItem {
                                required property var modelData
                                text: modelData.name
                                checkable: true
                                checked: modelData.id === row.modelData.colorProfileID
                                onTriggered: systemDisplays.setColorProfile(row.modelData.id, modelData.id)
                            }
                            onObjectAdded: (index, item) => profileMenu.insertItem(index + 2, item)
                            onObjectRemoved: (index, item) => profileMenu.removeItem(item)
                        }
                    }
                }
            }
        }
    }

    PushButton {
        visible: menu.expanded
        text: "Refresh display list"
        icon.name: "view-refresh"
        onClicked: systemDisplays.refresh()
    }
    SelectableText {
        label: "Display error"
        visible: systemDisplays.error !== ""
        Layout.fillWidth: true
        text: systemDisplays.error
        color: "#d03030"
        font.pixelSize: 11
    }
}

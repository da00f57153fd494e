import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The main window "Tavelin": the receiver and displays tabs, the quick controls and the
// arrange help.
ApplicationWindow {
    id: window
    objectName: "mainWindow"
    title: "Tavelin"
    visible: false
    width: rules.mainWidth
    minimumWidth: rules.mainWidth
    maximumWidth: rules.mainWidth
    // The whole window as the receiver tab's content wants it.
    property real receiverHeight: 680
    height: rules.mainHeight(bridge.selectedTab === "receiver", receiverHeight)

    header: ToolBar {
        RowLayout {
            anchors.fill: parent
            TabBar {
                id: tabs
                currentIndex: bridge.selectedTab === "displays" ? 1 : 0
                TabButton {
                    id: receiverTabButton
                    objectName: "receiverTabButton"; text: "Receiver"; icon.name: "network-wireless"
                    width: implicitWidth + 24; onClicked: bridge.selectedTab = "receiver"
                    Accessible.onPressAction: clicked()
                    FocusFrame { control: receiverTabButton }
                }
                TabButton {
                    id: displaysTabButton
                    objectName: "displaysTabButton"; text: "Displays"; icon.name: "video-display"
                    width: implicitWidth + 24; onClicked: bridge.selectedTab = "displays"
                    Accessible.onPressAction: clicked()
                    FocusFrame { control: displaysTabButton }
                }
            }
            Item { Layout.fillWidth: true }
            ToolButton {
                id: quickButton
                objectName: "quickControlsButton"
                text: "Quick controls"
                icon.name: "preferences-system"
                // Shows the popover's state; the click alone opens or closes it.
                checkable: false
                checked: quickControls.visible
                onClicked: quickControls.visible ? quickControls.close() : quickControls.open()
                Accessible.onPressAction: clicked()
            }
        }
    }

    // Dragging the window's background moves it.
    DragHandler {
        target: null
        onActiveChanged: if (active) window.startSystemMove()
    }

    StackLayout {
        anchors.fill: parent
        currentIndex: tabs.currentIndex

        ScrollView {
            id: receiverScroll
            contentWidth: availableWidth
            ReceiverTab {
                id: receiverTab
                x: 20
                y: 16
                width: receiverScroll.availableWidth - 40
                onImplicitHeightChanged: window.receiverHeight =
                    rules.nextReceiverHeight(window.receiverHeight, implicitHeight + 32 + (window.header ? window.header.height : 0))
            }
            // ScrollView sizes its content from this.
            contentHeight: receiverTab.implicitHeight + 32
        }
        // Fixed margins inside an item the layout sizes: margins on the tab itself made
        // the layout re-polish against the tab's implicit size.
        Item {
            DisplaysTab {
                anchors.fill: parent
                anchors.margins: 16
            }
        }
    }

    Popup {
        id: quickControls
        objectName: "quickControls"
        // Anchored to its button; a press on the button itself is left to the button, which
        // would otherwise reopen the popover that press has just closed.
        parent: quickButton
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
        // Its name for a screen reader goes on the item that draws it: Accessible attaches
        // only to items.
        Component.onCompleted: contentItem.parent.Accessible.name = "Quick controls"
        // Keyboard focus moves into the popover, so that Tab walks its controls and
        // Escape closes it; closing hands focus back to the button.
        focus: true
        onClosed: quickButton.forceActiveFocus()
        x: quickButton.width - width
        y: quickButton.height + 4
        width: rules.panelWidth
        height: Math.min(rules.panelHeight(), window.height - (window.header ? window.header.height : 0) - 16)
        padding: 8
        ScrollView {
            id: quickScroll
            anchors.fill: parent
            contentWidth: availableWidth
            ScrollBar.vertical.policy: ScrollBar.AlwaysOn
            DisplayControls { width: quickScroll.availableWidth - 12 }
        }
    }

    ArrangeHelp { }
}

import QtQuick

// Two overlapping screens: the symbol of the program and of its displays.
Item {
    property color tint: "#3dd6b0"
    implicitWidth: 34
    implicitHeight: 28
    Rectangle {
        x: 0; y: 2; width: parent.width * 0.62; height: parent.height * 0.55
        radius: 3; color: "transparent"; border.color: parent.tint; border.width: 2
    }
    Rectangle {
        x: parent.width * 0.38; y: parent.height * 0.38; width: parent.width * 0.62; height: parent.height * 0.55
        radius: 3; color: parent.tint
    }
}

import QtQuick

// Keyboard focus made visible on a control whose style draws none for it (Fusion's
// switch, tab and list entry): a frame in the highlight colour while focus came by key.
Rectangle {
    required property Item control
    anchors.fill: control
    visible: control.visualFocus
    color: "transparent"
    radius: 3
    border.width: 2
    border.color: control.palette.highlight
}

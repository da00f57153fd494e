import QtQuick
import QtQuick.Controls

// The text field of every form: a rounded, faintly blue surface that lights up with
// the accent colour while focused; the whole field, text included, fades when disabled.
TextField {
    id: field
    leftPadding: 10
    rightPadding: 10
    topPadding: 6
    bottomPadding: 6
    selectByMouse: true
    opacity: enabled ? 1 : 0.6
    background: Rectangle {
        implicitWidth: 120
        implicitHeight: 30
        radius: 10
        // A thin translucent base, as the frosted material of the surface.
        color: Qt.rgba(field.palette.base.r, field.palette.base.g, field.palette.base.b, 0.55)
        Rectangle {
            anchors.fill: parent
            radius: 10
            color: Qt.rgba(0, 0, 1, field.activeFocus ? 0.14 : 0.06)
        }
        Rectangle {
            anchors.fill: parent
            anchors.margins: 0.5
            radius: 9.5
            color: "transparent"
            border.width: field.activeFocus ? 2 : 1
            border.color: field.activeFocus ? Qt.rgba(field.palette.highlight.r, field.palette.highlight.g,
                                                      field.palette.highlight.b, 0.85)
                                            : Qt.rgba(0, 0, 1, 0.25)
        }
    }
}

import QtQuick
import QtQuick.Controls

Label {
    wrapMode: Text.WordWrap
    font.pixelSize: 11
    opacity: 0.7
}

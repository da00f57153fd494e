import QtQuick
import QtQuick.Controls

Label {
    font.pixelSize: 11
    font.weight: Font.DemiBold
    opacity: 0.7
}

import QtQuick
import QtQuick.Controls

// A button whose accessible Press action is a click: Qt 6.4's own press action reports
// success without clicked(), so screen readers and automation would press in vain.
Button {
    Accessible.onPressAction: if (enabled) clicked()
}

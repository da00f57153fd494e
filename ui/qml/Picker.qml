import QtQuick
import QtQuick.Controls

// A combo box that the accessible Press action opens and closes as a click does.
ComboBox {
    Accessible.onPressAction: popup.visible ? popup.close() : popup.open()
}

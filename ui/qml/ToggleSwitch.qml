import QtQuick
import QtQuick.Controls

// A switch whose accessible Toggle and Press actions are a click: Qt's own flip the
// switch without toggled(), so the model would never hear of them.
Switch {
    id: control
    function click() {
        if (!enabled) return
        toggle()
        toggled()
    }
    Accessible.onToggleAction: click()
    Accessible.onPressAction: click()
    FocusFrame { control: control }
}

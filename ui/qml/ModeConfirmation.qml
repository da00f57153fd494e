import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Keep or revert a display mode that was just tried; it reverts by itself at zero.
ColumnLayout {
    visible: systemDisplays.pendingDisplayName !== ""
    spacing: 4
    Label {
        Layout.fillWidth: true
        wrapMode: Text.Wrap
        font.weight: Font.DemiBold
        text: "Keep the new mode for " + systemDisplays.pendingDisplayName + "?"
    }
    Label {
        objectName: "revertCountdown"
        text: "Reverts in " + systemDisplays.secondsRemaining + " seconds."
        Accessible.role: Accessible.AlertMessage
    }
    RowLayout {
        PushButton { text: "Keep mode"; highlighted: true; onClicked: systemDisplays.keepMode() }
        PushButton { text: "Revert"; onClicked: systemDisplays.revertMode() }
    }
}

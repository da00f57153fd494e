import QtQuick

// Places the extra display on one side of the main display (a model entry of
// rules.directions); its accessible name says so without the row around it.
PushButton {
    required property string modelData
    text: modelData
    Accessible.name: "Place display " + modelData.toLowerCase() + (modelData === "Left" || modelData === "Right" ? " of" : "") + " the main display"
    onClicked: bridge.placeDisplay(modelData)
}

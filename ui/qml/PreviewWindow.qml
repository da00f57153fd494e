import QtQuick
import QtMultimedia

// The picture of the preview window, fitted with its own aspect ratio.
Rectangle {
    color: "black"

    VideoOutput {
        objectName: "output"
        anchors.fill: parent
        fillMode: VideoOutput.PreserveAspectFit
    }
}

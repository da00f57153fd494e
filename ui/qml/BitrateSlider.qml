import QtQuick
import QtQuick.Controls

Slider {
    from: rules.minimumBitrate
    to: rules.maximumBitrate
    stepSize: rules.bitrateStep
    snapMode: Slider.SnapAlways
    value: bridge.bitrate
    onMoved: bridge.bitrate = value
}

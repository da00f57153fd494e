import QtQuick
import QtQuick.Controls

ValueSlider {
    from: rules.minimumBitrate
    to: rules.maximumBitrate
    stepSize: rules.bitrateStep
    snapMode: Slider.SnapAlways
    modelValue: bridge.bitrate
    valueText: rules.megabits(bridge.bitrate)
    Accessible.name: "Video bitrate"
    onEdited: (rate) => bridge.bitrate = rate
}

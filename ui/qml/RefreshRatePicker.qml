import QtQuick
import QtQuick.Controls

Picker {
    Accessible.name: "Refresh rate"
    model: rules.refreshRates.map((rate) => rules.hertz(rate))
    currentIndex: rules.refreshRates.indexOf(bridge.fps)
    displayText: rules.hertz(bridge.fps)
    onActivated: (index) => bridge.fps = rules.refreshRates[index]
}

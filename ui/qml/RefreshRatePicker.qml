import QtQuick
import QtQuick.Controls

ComboBox {
    model: rules.refreshRates.map((rate) => rules.hertz(rate))
    currentIndex: rules.refreshRates.indexOf(bridge.fps)
    displayText: rules.hertz(bridge.fps)
    onActivated: (index) => bridge.fps = rules.refreshRates[index]
}

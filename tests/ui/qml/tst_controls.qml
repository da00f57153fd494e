import QtQuick
import QtQuick.Controls
import QtTest
import Tavelin

TestCase {
    id: test
    name: "Controls"
    when: windowShown
    visible: true
    width: 640
    height: 1400

    Component { id: receiverTab; ReceiverTab { width: 600 } }
    Component { id: modeForm; ModeForm { width: 600 } }
    Component { id: controls; DisplayControls { width: 420 } }
    Component { id: displaysTab; DisplaysTab { width: 620; height: 1300 } }

    function test_presetPicker() {
        const form = createTemporaryObject(modeForm, test)
        const picker = findChild(form, "presetPicker")
        probe.set("width", "1366")
        probe.set("height", "768")
        tryCompare(picker, "currentText", "Custom")
        tryCompare(findChild(createTemporaryObject(receiverTab, test), "receiverWidthField"), "text", "1366")
        picker.activated(1)
        tryCompare(picker, "currentText", "2560×1440")
        compare([findChild(form, "widthField").text, findChild(form, "heightField").text], ["2560", "1440"])
        compare([probe.get("width"), probe.get("height")], ["2560", "1440"])
        // Portrait is a preset like the others; "Custom" is gone once a preset shows.
        picker.activated(6)
        tryCompare(picker, "currentText", "1080×1920")
        compare(picker.count, 7)
    }

    // A click reaches the model; the range and the steps are the accessibility test's.
    function test_bitrateSliderClick() {
        const slider = findChild(createTemporaryObject(modeForm, test), "bitrateSlider")
        mouseClick(slider, slider.width - 1, slider.height / 2)
        compare(probe.get("bitrate"), 150)
    }

    function test_resetImageAdjustments() {
        const panel = createTemporaryObject(controls, test)
        const changed = {receiverBrightness: 0.4, receiverContrast: 1.3, receiverSaturation: 0.2,
                         receiverRotation: 270, receiverFlip: true, receiverBlank: true, receiverFit: "cover"}
        for (const field in changed) probe.set(field, changed[field])
        tryCompare(findChild(panel, "rotationPicker"), "currentText", "270°")
        tryCompare(findChild(panel, "scalePicker"), "currentText", "Fill (crop edges)")
        const reset = findChild(panel, "resetImageButton")
        mouseClick(reset)
        for (const slider of ["brightnessSlider", "contrastSlider", "saturationSlider"])
            tryCompare(findChild(panel, slider), "value", 1.0)
        tryCompare(findChild(panel, "rotationPicker"), "currentText", "0°")
        tryCompare(findChild(panel, "scalePicker"), "currentText", "Fit entire desktop")
        for (const toggle of ["flipSwitch", "blankSwitch"])
            tryCompare(findChild(panel, toggle), "checked", false)
        const initial = {receiverBrightness: 1.0, receiverContrast: 1.0, receiverSaturation: 1.0,
                         receiverRotation: 0, receiverFlip: false, receiverBlank: false, receiverFit: "contain"}
        for (const field in initial) compare(probe.get(field), initial[field], field)
    }

    function test_refusedChoiceDoesNotStay_data() {
        return [{tag: "Use display as", picker: "usagePicker", field: "selectedMirrorMain"},
                {tag: "Display", picker: "displayPicker", field: "selectedDisplayID"}]
    }

    function test_refusedChoiceDoesNotStay(data) {
        probe.addSavedDisplay()
        const panel = createTemporaryObject(controls, test)
        const picker = findChild(panel, data.picker)
        const before = probe.get(data.field)
        const shown = picker.currentIndex
        probe.setBusy(true)
        mouseClick(picker)
        tryCompare(picker.popup, "opened", true)
        mouseClick(picker.popup.contentItem.itemAtIndex(shown === 0 ? 1 : 0))
        verify(picker.currentIndex !== shown, "the user's choice shows at first")
        tryCompare(picker, "currentIndex", shown)
        compare(probe.get(data.field), before)
        probe.setBusy(false)
    }

    // The switch shows what the autostart file says, also after a change that failed.
    function test_openAtLoginFollowsTheFile() {
        const tab = createTemporaryObject(displaysTab, test)
        const toggle = findChild(tab, "openAtLoginSwitch")
        const error = findChild(tab, "openAtLoginError")
        mouseClick(toggle)
        tryVerify(() => probe.autostartEntry().includes("\nExec=tavelin --tray\n"))
        tryCompare(toggle, "checked", true)
        mouseClick(toggle)
        tryVerify(() => probe.autostartEntry() === "")
        probe.autostartEntry(true)
        mouseClick(toggle)
        tryVerify(() => error.visible && error.text.startsWith("Tavelin cannot open at login: writing "))
        tryCompare(toggle, "checked", false)
    }
}

import QtQuick

// Text to read and copy, such as the pairing code: a label to a screen reader, whose
// name says what it is before the text itself.
TextEdit {
    property string label
    readOnly: true
    selectByMouse: true
    color: palette.text
    font.family: "monospace"
    Accessible.role: Accessible.StaticText
    Accessible.name: label + " " + text
}

import QtQuick
import QtQuick.Controls

// A button drawn as its label alone.
AbstractButton {
    id: control
    padding: 0
    hoverEnabled: true
    contentItem: Text {
        text: control.text
        font: Theme.body
        color: control.hovered ? Theme.blue : palette.windowText
    }
    background: null
}

import QtQuick

// Level meter: one thin, vertically centred bar per level, oldest on the left. Levels are
// amplified threefold and clipped; quiet bars keep a 2-point sliver and 30 % opacity.
Item {
    id: root
    property var levels: []
    readonly property real spacing: 1.5
    readonly property real barWidth: levels.length > 0
        ? Math.max((width - (levels.length - 1) * spacing) / levels.length, 1) : 0

    implicitHeight: 40

    Repeater {
        model: root.levels.length
        Rectangle {
            required property int index
            readonly property real amplitude: Math.min(root.levels[index] * 3, 1)
            x: index * (root.barWidth + root.spacing)
            width: root.barWidth
            height: Math.max(amplitude * root.height, 2)
            y: root.height / 2 - height / 2
            radius: width / 2
            color: Qt.rgba(1, 0.231, 0.188, amplitude * 0.7 + 0.3)
        }
    }
}

pragma Singleton
import QtQuick

// Colours and fonts shared by the panel and the settings window.
QtObject {
    readonly property color blue: "#007aff"
    readonly property color red: "#ff3b30"
    readonly property color grey: "#8e8e93"
    readonly property color orange: "#ff9500"
    readonly property color green: "#28cd41"

    readonly property font body: Qt.application.font
    readonly property font headline: Qt.font({family: body.family, pointSize: body.pointSize, weight: Font.DemiBold})
    readonly property font caption: Qt.font({family: body.family, pointSize: Math.max(body.pointSize - 2, 7)})
    readonly property font monospaced: Qt.font({family: "monospace", pointSize: body.pointSize})
}

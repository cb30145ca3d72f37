import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    required property QtObject appState
    required property QtObject modelFolder
    property QtObject typing: null
    title: "Orvane Settings"
    width: 450
    height: 340
    minimumWidth: 450
    maximumWidth: 450
    minimumHeight: 340
    maximumHeight: 340

    SettingsView {
        objectName: "settingsView"
        anchors.fill: parent
        appState: window.appState
        modelFolder: window.modelFolder
        typing: window.typing
    }
}

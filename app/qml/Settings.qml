import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    required property QtObject appState
    required property QtObject modelFolder
    title: "Orvane Settings"
    width: 450
    height: 250
    minimumWidth: 450
    maximumWidth: 450
    minimumHeight: 250
    maximumHeight: 250

    SettingsView {
        objectName: "settingsView"
        anchors.fill: parent
        appState: window.appState
        modelFolder: window.modelFolder
    }
}

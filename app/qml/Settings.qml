import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    required property QtObject appState
    required property QtObject modelFolder
    property QtObject typing: null
    property QtObject preferences: null
    property QtObject history: null
    title: "Orvane Settings"
    width: 450
    height: view.implicitHeight
    minimumWidth: 450
    maximumWidth: 450
    minimumHeight: height
    maximumHeight: height

    SettingsView {
        id: view
        objectName: "settingsView"
        anchors.fill: parent
        appState: window.appState
        modelFolder: window.modelFolder
        typing: window.typing
        preferences: window.preferences
        history: window.history
    }
}

import QtQuick
import QtQuick.Controls

// The panel's window: frameless next to the tray icon, closing when it loses focus, or an
// ordinary window on desktops without a tray.
ApplicationWindow {
    id: window
    required property QtObject appState
    property QtObject hotKey: null
    property QtObject clipboard: null
    property QtObject typing: null
    property QtObject history: null
    property bool ordinaryWindow: false
    signal settingsRequested()
    signal quitRequested()

    title: "Orvane"
    flags: ordinaryWindow ? Qt.Window : (Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint)
    width: view.implicitWidth
    height: view.implicitHeight
    onActiveChanged: if (!active && !ordinaryWindow) hide()

    MenuBarView {
        id: view
        objectName: "menuBarView"
        anchors.fill: parent
        appState: window.appState
        hotKey: window.hotKey
        clipboard: window.clipboard
        typing: window.typing
        history: window.history
        onSettingsRequested: window.settingsRequested()
        onQuitRequested: window.quitRequested()
    }
}

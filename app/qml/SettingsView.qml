import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts

// The model directory (with whether it holds the model files), where the model is downloaded
// from, the microphone, the shortcut, where the words go and the general switches.
Pane {
    id: root
    required property QtObject appState
    required property QtObject modelFolder
    property QtObject typing: null
    property QtObject preferences: null
    property QtObject history: null
    // Filled when the view is shown and on every change of the directory afterwards.
    property string modelStatus: ""

    implicitWidth: 450
    implicitHeight: column.implicitHeight + topPadding + bottomPadding
    padding: 16

    function refreshStatus() { modelStatus = modelFolder.check(appState.modelDirectoryPath) }
    Component.onCompleted: refreshStatus()
    Connections {
        target: root.appState
        function onModelDirectoryPathChanged() { root.refreshStatus() }
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        spacing: 8

        GroupBox {
            title: "Model Directory"
            Layout.fillWidth: true
            ColumnLayout {
                anchors.fill: parent
                RowLayout {
                    TextField {
                        objectName: "modelPathField"
                        Layout.fillWidth: true
                        placeholderText: "Path to orvane model directory"
                        text: root.appState.modelDirectoryPath
                        onTextEdited: root.appState.modelDirectoryPath = text
                    }
                    Button {
                        objectName: "browseButton"
                        text: "Browse..."
                        onClicked: folderDialog.open()
                    }
                }
                Label {
                    objectName: "modelStatus"
                    visible: root.modelStatus !== ""
                    text: root.modelStatus
                    font: Theme.caption
                    color: root.modelStatus.indexOf("Found") >= 0 ? Theme.green : Theme.red
                }
                RowLayout {
                    visible: root.preferences !== null
                    TextField {
                        objectName: "modelUrlField"
                        Layout.fillWidth: true
                        placeholderText: root.preferences ? (root.preferences.defaultModelBaseUrl
                                                             || "Download address (…/resolve/main)") : ""
                        text: root.preferences ? root.preferences.modelBaseUrl : ""
                        onTextEdited: root.preferences.modelBaseUrl = text
                    }
                    Button {
                        objectName: "downloadButton"
                        text: "Download"
                        enabled: root.modelStatus.indexOf("Missing") >= 0 &&
                                 ["idle", "done", "error"].indexOf(root.appState.recordingState.name) >= 0
                        onClicked: root.appState.downloadModel()
                    }
                }
                ProgressBar {
                    objectName: "settingsDownloadProgress"
                    visible: root.appState.recordingState.name === "downloading"
                    Layout.fillWidth: true
                    value: root.appState.downloadProgress
                }
                Label {
                    objectName: "downloadStatus"
                    visible: text !== ""
                    text: ["downloading", "error"].indexOf(root.appState.recordingState.name) >= 0
                          ? root.appState.recordingState.text : ""
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    font: Theme.caption
                }
            }
        }

        GroupBox {
            title: "Microphone"
            visible: root.preferences !== null
            Layout.fillWidth: true
            ComboBox {
                objectName: "inputDeviceBox"
                anchors.left: parent.left
                anchors.right: parent.right
                model: root.preferences ? root.preferences.inputDevices : []
                textRole: "name"
                valueRole: "id"
                // Follows the setting and the list as devices come and go.
                currentIndex: {
                    const id = root.preferences ? root.preferences.inputDevice : ""
                    for (let i = 0; i < model.length; i++)
                        if (model[i].id === id) return i
                    return 0
                }
                onActivated: root.preferences.inputDevice = currentValue
            }
        }

        GroupBox {
            title: "Keyboard Shortcut"
            Layout.fillWidth: true
            ColumnLayout {
                anchors.fill: parent
                Label {
                    text: "Alt + Space"
                    font: Theme.monospaced
                }
                Label {
                    text: "Press to start/stop recording; hold while speaking to talk"
                    font: Theme.caption
                    color: Theme.grey
                }
            }
        }
        GroupBox {
            title: "Output"
            visible: root.typing !== null
            Layout.fillWidth: true
            ColumnLayout {
                anchors.fill: parent
                RadioButton {
                    objectName: "outputTypeButton"
                    text: "Type into the focused field as I speak"
                    checked: root.typing && root.typing.outputMode === "type"
                    onToggled: if (checked) root.typing.outputMode = "type"
                }
                RadioButton {
                    objectName: "outputClipboardButton"
                    text: "Only copy the transcript to the clipboard"
                    checked: root.typing && root.typing.outputMode === "clipboard"
                    onToggled: if (checked) root.typing.outputMode = "clipboard"
                }
            }
        }

        GroupBox {
            title: "General"
            visible: root.preferences !== null
            Layout.fillWidth: true
            ColumnLayout {
                anchors.fill: parent
                CheckBox {
                    objectName: "loadAtStartBox"
                    text: "Load the model when Orvane starts"
                    checked: root.preferences ? root.preferences.loadAtStart : true
                    onToggled: root.preferences.loadAtStart = checked
                }
                CheckBox {
                    objectName: "keepHistoryBox"
                    text: "Keep a history of transcripts"
                    checked: root.preferences ? root.preferences.keepHistory : true
                    onToggled: {
                        root.preferences.keepHistory = checked
                        if (!checked && root.history && root.history.entries.length > 0) deleteHistoryDialog.open()
                    }
                }
                RowLayout {
                    Label { text: "Free the model after idle minutes (0: never)"; Layout.fillWidth: true }
                    SpinBox {
                        objectName: "unloadMinutesBox"
                        from: 0
                        to: 7 * 24 * 60
                        editable: true
                        value: root.preferences ? Math.round(root.preferences.unloadAfterIdleSeconds / 60) : 15
                        onValueModified: root.preferences.unloadAfterIdleSeconds = value * 60
                    }
                }
                RowLayout {
                    Label { text: "Transcripts kept"; Layout.fillWidth: true }
                    SpinBox {
                        objectName: "historyLengthBox"
                        from: 1
                        to: 10000
                        editable: true
                        value: root.preferences ? root.preferences.historyLength : 50
                        onValueModified: root.preferences.historyLength = value
                    }
                }
                CheckBox {
                    objectName: "notificationsBox"
                    text: "Desktop notifications when the panel is closed"
                    checked: root.preferences ? root.preferences.notifications : true
                    onToggled: root.preferences.notifications = checked
                }
                CheckBox {
                    objectName: "autostartBox"
                    text: "Start Orvane with the desktop session"
                    checked: root.preferences ? root.preferences.autostart : false
                    onToggled: root.preferences.autostart = checked
                }
            }
        }
    }

    Dialog {
        id: deleteHistoryDialog
        objectName: "deleteHistoryDialog"
        title: "Delete the saved history?"
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Yes | Dialog.No
        Label { text: "New transcripts are no longer kept. Delete the ones kept so far?" }
        onAccepted: root.history.clear()
    }

    FolderDialog {
        id: folderDialog
        title: "Select the orvane model directory"
        onAccepted: root.appState.modelDirectoryPath = root.modelFolder.localPath(selectedFolder)
    }
}

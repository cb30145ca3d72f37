import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts

// The model directory (with whether it holds the model files), the shortcut and where the words
// go.
Pane {
    id: root
    required property QtObject appState
    required property QtObject modelFolder
    property QtObject typing: null
    // Filled when the view is shown and on every change of the directory afterwards.
    property string modelStatus: ""

    implicitWidth: 450
    implicitHeight: 340
    padding: 16

    function refreshStatus() { modelStatus = modelFolder.check(appState.modelDirectoryPath) }
    Component.onCompleted: refreshStatus()
    Connections {
        target: root.appState
        function onModelDirectoryPathChanged() { root.refreshStatus() }
    }

    ColumnLayout {
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
                    text: "Global shortcut to start/stop recording"
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
        Item { Layout.fillHeight: true }
    }

    FolderDialog {
        id: folderDialog
        title: "Select the orvane model directory"
        onAccepted: root.appState.modelDirectoryPath = root.modelFolder.localPath(selectedFolder)
    }
}

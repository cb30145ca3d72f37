import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The panel: state, download progress, level meter, live transcript, the shortcut hint and the
// way to the settings and out. It only reads the app state; recording starts and stops by hot key.
Pane {
    id: root
    required property QtObject appState
    property QtObject hotKey: null
    property QtObject clipboard: null
    property QtObject typing: null
    property QtObject history: null
    signal settingsRequested()
    signal quitRequested()

    readonly property string kind: appState.recordingState.name
    readonly property var header: ({
        downloading: [Theme.blue, appState.recordingState.text],
        error: [Theme.red, "Error: " + appState.recordingState.text],
        idle: [Theme.grey, "Ready"],
        loading: [Theme.red, "Recording... (loading the model)"],
        recording: [Theme.red, "Recording..."],
        processing: [Theme.orange, "Transcribing..."],
        done: [Theme.green, "Copied!"]
    })[kind] || [Theme.grey, ""]

    padding: 16
    implicitWidth: 320 + leftPadding + rightPadding
    implicitHeight: column.implicitHeight + topPadding + bottomPadding

    ColumnLayout {
        id: column
        width: 320
        spacing: 12

        RowLayout {
            spacing: 8
            Rectangle {
                objectName: "stateDot"
                implicitWidth: 8
                implicitHeight: 8
                radius: 4
                color: root.header[0]
            }
            // Fills the row, so the dot and text keep to the leading edge; long errors wrap.
            Label {
                objectName: "stateText"
                Layout.fillWidth: true
                text: root.header[1]
                font: Theme.headline
                wrapMode: Text.Wrap
            }
        }

        ProgressBar {
            objectName: "downloadProgress"
            visible: root.kind === "downloading"
            Layout.fillWidth: true
            from: 0
            to: 1
            value: root.appState.downloadProgress
        }

        WaveformView {
            objectName: "waveform"
            readonly property bool shown: root.kind === "recording" || root.kind === "loading"
            Layout.fillWidth: true
            levels: root.appState.waveformLevels
            visible: opacity > 0
            opacity: shown ? 1 : 0
            scale: shown ? 1 : 0.8
            Behavior on opacity { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
            Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        }

        Rectangle {
            objectName: "transcriptBox"
            visible: root.appState.liveText !== ""
            Layout.fillWidth: true
            implicitHeight: Math.min(transcript.implicitHeight, 200)
            color: palette.base
            radius: 6
            clip: true

            Flickable {
                id: flick
                objectName: "transcriptScroll"
                anchors.fill: parent
                contentWidth: width
                contentHeight: transcript.implicitHeight
                boundsBehavior: Flickable.StopAtBounds
                ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

                TextEdit {
                    id: transcript
                    objectName: "transcript"
                    width: flick.width
                    padding: 8
                    text: root.appState.liveText
                    font: Theme.body
                    color: palette.text
                    wrapMode: TextEdit.Wrap
                    readOnly: true
                    selectByMouse: true
                    selectByKeyboard: true
                }
                // Newest words stay in view.
                function scrollToEnd() { contentY = Math.max(0, contentHeight - height) }
                onContentHeightChanged: scrollToEnd()
                onHeightChanged: scrollToEnd()
            }
        }

        Divider {}

        Label {
            objectName: "hint"
            text: "Press Alt+Space to start/stop recording"
            font: Theme.caption
            color: Theme.grey
        }

        Label {
            objectName: "hotKeyNotice"
            visible: text !== ""
            text: root.hotKey ? root.hotKey.notice : ""
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font: Theme.caption
            color: Theme.orange
        }

        Label {
            objectName: "typingNotice"
            visible: text !== ""
            text: root.typing ? root.typing.notice : ""
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font: Theme.caption
            color: Theme.orange
        }

        Label {
            objectName: "captureNotice"
            visible: text !== ""
            text: root.appState.notice || ""
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font: Theme.caption
            color: Theme.orange
        }

        Label {
            objectName: "clipboardNotice"
            visible: text !== ""
            text: root.clipboard ? root.clipboard.notice : ""
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font: Theme.caption
            color: Theme.red
        }

        HistoryList {
            objectName: "history"
            history: root.history
            visible: root.history !== null && count > 0
            Layout.fillWidth: true
        }

        Divider {}

        PlainButton {
            objectName: "settingsButton"
            text: "Settings..."
            onClicked: root.settingsRequested()
        }
        PlainButton {
            objectName: "quitButton"
            text: "Quit OrvaneApp"
            onClicked: root.quitRequested()
        }
    }
}

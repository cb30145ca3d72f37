import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Earlier transcripts, newest first, each with its time, a copy and a delete button; the list
// scrolls within a fixed height so the panel keeps its size.
ColumnLayout {
    id: root
    property QtObject history: null
    readonly property var entries: history ? history.entries : []
    readonly property int count: entries.length
    spacing: 4

    RowLayout {
        Layout.fillWidth: true
        Label {
            text: "History"
            font: Theme.headline
            Layout.fillWidth: true
        }
        PlainButton {
            objectName: "clearHistoryButton"
            text: "Clear all"
            onClicked: root.history.clear()
        }
    }

    ListView {
        id: list
        objectName: "historyList"
        Layout.fillWidth: true
        implicitHeight: Math.min(contentHeight, 150)
        clip: true
        model: root.entries
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }
        delegate: RowLayout {
            required property var modelData
            required property int index
            width: list.width
            spacing: 6
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 0
                Label {
                    text: Qt.formatDateTime(modelData.time, "ddd hh:mm")
                    font: Theme.caption
                    color: Theme.grey
                }
                Label {
                    Layout.fillWidth: true
                    text: modelData.text
                    elide: Text.ElideRight
                    maximumLineCount: 2
                    wrapMode: Text.Wrap
                    font: Theme.body
                }
            }
            PlainButton {
                objectName: "copyHistory" + index
                text: "Copy"
                onClicked: root.history.copy(index)
            }
            PlainButton {
                objectName: "deleteHistory" + index
                text: "Delete"
                onClicked: root.history.remove(index)
            }
        }
    }
}

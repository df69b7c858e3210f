import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// One labelled status value with a coloured symbol, at least 140 tall, content at the top left.
Panel {
    id: root

    required property string title
    required property string value
    required property string symbol
    required property color color
    // A smaller line under the value, shown when there is one.
    property string details: ""
    // Lines of the value before it is cut.
    property int valueLines: 2

    padding: 18
    implicitHeight: Math.max(140, column.implicitHeight + 2 * padding)

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        spacing: 12

        SymbolIcon {
            objectName: "statusSymbol"
            symbol: root.symbol
            color: root.color
            size: Theme.title
        }
        Text {
            text: root.title
            color: Theme.secondaryText
            font.family: Theme.family
            font.pixelSize: Theme.caption
            font.bold: true
            font.letterSpacing: 1.2
        }
        Text {
            objectName: "statusValue"
            Layout.fillWidth: true
            text: root.value
            color: Theme.text
            font.family: Theme.family
            font.pixelSize: Theme.headline
            font.bold: true
            wrapMode: Text.Wrap
            maximumLineCount: root.valueLines
            elide: Text.ElideRight
        }
        Text {
            objectName: "statusDetails"
            Layout.fillWidth: true
            visible: root.details.length > 0
            text: root.details
            color: Theme.secondaryText
            font.family: "monospace"
            font.pixelSize: Theme.caption
            wrapMode: Text.Wrap
        }
    }
}

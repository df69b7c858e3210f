import QtQuick
import TarnwickBridge

// A section's heading: its symbol and its name, in the headline style and the section's colour.
Row {
    id: root

    required property string symbol
    required property string text
    property color color: Theme.text

    spacing: 6

    SymbolIcon {
        anchors.verticalCenter: parent.verticalCenter
        symbol: root.symbol
        color: root.color
        size: Theme.headline
    }
    Text {
        anchors.verticalCenter: parent.verticalCenter
        text: root.text
        color: root.color
        font.family: Theme.family
        font.pixelSize: Theme.headline
        font.bold: true
    }
}

import QtQuick
import QtQuick.Templates as T
import TarnwickBridge

// A push button with a visible rounded body: plain, prominent (filled with `tint`), or with a
// destructive label.
T.Button {
    id: root

    property string symbol: ""
    property bool prominent: false
    property bool destructive: false
    property color tint: Theme.accent

    readonly property color labelColor: prominent ? "white" : destructive ? Theme.red : Theme.text

    implicitWidth: Math.max(implicitBackgroundWidth, implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight, implicitContentHeight + topPadding + bottomPadding)
    leftPadding: 10
    rightPadding: 10
    topPadding: 4
    bottomPadding: 4
    spacing: 5
    hoverEnabled: true
    font.family: Theme.family
    font.pixelSize: Theme.body

    contentItem: Row {
        spacing: root.spacing
        SymbolIcon {
            visible: root.symbol !== ""
            anchors.verticalCenter: parent.verticalCenter
            symbol: root.symbol
            color: root.labelColor
            size: root.font.pixelSize
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: root.text
            font: root.font
            color: root.labelColor
        }
    }

    background: Rectangle {
        implicitHeight: 24
        implicitWidth: 24
        radius: 6
        color: {
            const base = root.prominent ? root.tint : Qt.rgba(1, 1, 1, 0.16);
            if (root.down)
                return Qt.darker(base, 1.35);
            return root.hovered ? Qt.lighter(base, 1.15) : base;
        }
        border.width: root.prominent ? 0 : 1
        border.color: Qt.rgba(1, 1, 1, 0.1)
        Rectangle {
            anchors.fill: parent
            radius: parent.radius
            color: "transparent"
            border.width: root.visualFocus ? 2 : 0
            border.color: Theme.accent
        }
    }
}

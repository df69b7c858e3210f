import QtQuick
import QtQuick.Templates as T
import TarnwickBridge

// An on/off switch with its label on the left.
T.Switch {
    id: root

    // The label's own right padding leaves the room for the indicator.
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: Math.max(implicitContentHeight, implicitIndicatorHeight) + topPadding + bottomPadding
    spacing: 8
    padding: 0
    hoverEnabled: true
    font.family: Theme.family
    font.pixelSize: Theme.body

    contentItem: Text {
        rightPadding: root.indicator.width + root.spacing
        text: root.text
        font: root.font
        color: Theme.text
        verticalAlignment: Text.AlignVCenter
    }

    indicator: Rectangle {
        implicitWidth: 38
        implicitHeight: 22
        x: root.width - width - root.rightPadding
        y: (root.height - height) / 2
        radius: height / 2
        color: root.checked ? Theme.accent : Qt.rgba(1, 1, 1, 0.2)
        border.width: root.visualFocus ? 2 : 0
        border.color: Qt.lighter(Theme.accent, 1.3)
        Behavior on color { ColorAnimation { duration: 120 } }

        Rectangle {
            width: 20
            height: 20
            radius: 10
            y: 1
            x: root.checked ? parent.width - width - 1 : 1
            color: root.down ? "#dddddd" : "white"
            Behavior on x { NumberAnimation { duration: 120 } }
        }
    }
}

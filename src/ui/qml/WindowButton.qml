import QtQuick
import QtQuick.Templates as T
import TarnwickBridge

// A small round button of the window's own title strip.
T.Button {
    id: root

    required property string glyph
    property color hoverColor: Qt.rgba(1, 1, 1, 0.16)

    implicitWidth: 22
    implicitHeight: 22
    hoverEnabled: true
    focusPolicy: Qt.NoFocus

    background: Rectangle {
        radius: width / 2
        color: root.down ? Qt.darker(root.hoverColor, 1.3) : root.hovered ? root.hoverColor
                                                                           : "transparent"
    }
    contentItem: Text {
        text: root.glyph
        color: Qt.rgba(1, 1, 1, root.hovered ? 0.95 : 0.6)
        font.family: "Material Icons"
        font.pixelSize: 14
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
}

import QtQuick
import TarnwickBridge

// The shared panel: a translucent rounded fill behind the content, and a hairline outline
// drawn over it that does not change the panel's size. `padding` goes around the content,
// whose implicit size (its first item's) gives the panel's.
Item {
    id: root

    default property alias content: container.data
    property real padding: 0
    readonly property Item body: container.children.length > 0 ? container.children[0] : null

    implicitWidth: (body ? body.implicitWidth : 0) + 2 * padding
    implicitHeight: (body ? body.implicitHeight : 0) + 2 * padding

    Rectangle {
        anchors.fill: parent
        radius: Theme.panelRadius
        color: Theme.panelFill
    }
    Item {
        id: container
        anchors.fill: parent
        anchors.margins: root.padding
    }
    Rectangle {
        anchors.fill: parent
        radius: Theme.panelRadius
        color: "transparent"
        border.color: Theme.panelOutline
        border.width: 1
    }
}

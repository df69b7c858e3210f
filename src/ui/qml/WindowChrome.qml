import QtQuick
import QtQuick.Window
import TarnwickBridge

// What a frameless window needs to be handled like any other: a strip along the top edge that
// moves the window (double-click maximises), the minimise, maximise and close buttons, and
// edges that resize it. Moving and resizing are done by the window manager.
Item {
    id: root

    required property Window window
    readonly property bool maximized: window.visibility === Window.Maximized
    readonly property real stripHeight: 28
    readonly property real edge: 6

    function toggleMaximized() {
        if (root.maximized)
            root.window.showNormal();
        else
            root.window.showMaximized();
    }

    Item {
        id: strip
        objectName: "dragStrip"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        height: root.stripHeight

        DragHandler {
            target: null
            grabPermissions: PointerHandler.CanTakeOverFromAnything
            onActiveChanged: if (active) root.window.startSystemMove()
        }
        TapHandler {
            onDoubleTapped: root.toggleMaximized()
        }

        Row {
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.top: parent.top
            anchors.topMargin: root.edge
            spacing: 6

            WindowButton {
                objectName: "minimizeButton"
                glyph: "\ue15b" // remove
                onClicked: root.window.showMinimized()
            }
            WindowButton {
                objectName: "maximizeButton"
                glyph: root.maximized ? "\ue3e0" : "\ue3c6" // filter_none : crop_square
                onClicked: root.toggleMaximized()
            }
            WindowButton {
                objectName: "closeButton"
                glyph: "\ue5cd" // close
                hoverColor: Qt.rgba(1, 0.27, 0.23, 0.8)
                onClicked: root.window.close()
            }
        }
    }

    // Resize edges and corners; none while maximised.
    Repeater {
        model: [
            { edges: Qt.LeftEdge, cursor: Qt.SizeHorCursor },
            { edges: Qt.RightEdge, cursor: Qt.SizeHorCursor },
            { edges: Qt.TopEdge, cursor: Qt.SizeVerCursor },
            { edges: Qt.BottomEdge, cursor: Qt.SizeVerCursor },
            { edges: Qt.LeftEdge | Qt.TopEdge, cursor: Qt.SizeFDiagCursor },
            { edges: Qt.RightEdge | Qt.BottomEdge, cursor: Qt.SizeFDiagCursor },
            { edges: Qt.RightEdge | Qt.TopEdge, cursor: Qt.SizeBDiagCursor },
            { edges: Qt.LeftEdge | Qt.BottomEdge, cursor: Qt.SizeBDiagCursor }
        ]
        delegate: MouseArea {
            required property var modelData
            readonly property bool atLeft: modelData.edges & Qt.LeftEdge
            readonly property bool atRight: modelData.edges & Qt.RightEdge
            readonly property bool atTop: modelData.edges & Qt.TopEdge
            readonly property bool atBottom: modelData.edges & Qt.BottomEdge
            readonly property bool corner: (atLeft || atRight) && (atTop || atBottom)

            enabled: !root.maximized
            cursorShape: modelData.cursor
            x: atRight ? root.width - width : 0
            y: atBottom ? root.height - height : 0
            width: atLeft || atRight ? (corner ? 2 * root.edge : root.edge) : root.width
            height: atTop || atBottom ? (corner ? 2 * root.edge : root.edge) : root.height
            onPressed: root.window.startSystemResize(modelData.edges)
        }
    }
}

import QtQuick
import QtQuick.Shapes
import TarnwickBridge

// The window's dark gradient, from the top-left corner to the bottom-right one. The gradient
// runs in the window's own proportions: a colour line joins points at equal fractions of the
// width and the height, as when a square gradient is stretched over the window.
Shape {
    id: root

    // End of the gradient vector from the top-left corner, chosen so that the bottom-right
    // corner lies at its end and colour lines run parallel to the other diagonal.
    readonly property real stretch: 2 / (1 / (width * width) + 1 / (height * height))

    ShapePath {
        strokeWidth: -1
        fillGradient: LinearGradient {
            x1: 0
            y1: 0
            x2: root.width > 0 ? root.stretch / root.width : 0
            y2: root.height > 0 ? root.stretch / root.height : 0
            GradientStop { position: 0; color: Theme.backgroundStart }
            GradientStop { position: 1; color: Theme.backgroundEnd }
        }
        startX: 0; startY: 0
        PathLine { x: root.width; y: 0 }
        PathLine { x: root.width; y: root.height }
        PathLine { x: 0; y: root.height }
        PathLine { x: 0; y: 0 }
    }
}

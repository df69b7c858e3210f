import QtQuick
import TarnwickBridge

// The application's tile: a cyan rounded square with the terminal symbol in black.
Rectangle {
    implicitWidth: 64
    implicitHeight: 64
    radius: 18
    gradient: Gradient {
        GradientStop { position: 0; color: Qt.lighter(Theme.cyan, 1.12) }
        GradientStop { position: 1; color: Qt.darker(Theme.cyan, 1.12) }
    }

    SymbolIcon {
        anchors.centerIn: parent
        symbol: "terminal.fill"
        color: "black"
        size: 30
    }
}

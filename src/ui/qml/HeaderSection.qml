pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The tile, the title and its line, and the launch-at-login switch at the far right.
RowLayout {
    id: root

    required property BridgeController controller

    spacing: 16

    AppTile {}

    ColumnLayout {
        spacing: 4
        Layout.fillWidth: true

        Text {
            text: "Tarnwick Bridge"
            color: Theme.text
            font.family: Theme.roundedFamily
            font.pixelSize: 32
            font.weight: Font.Black
        }
        Text {
            Layout.fillWidth: true
            text: "This computer is the secure engine. Your phone or tablet is the cockpit."
            color: Theme.explanatoryText
            font.family: Theme.family
            font.pixelSize: Theme.body
            elide: Text.ElideRight
        }
    }

    LaunchSwitch {
        objectName: "launchAtLoginSwitch"
        text: "Launch at Login"
        checked: root.controller.launchAtLogin
        onToggled: {
            root.controller.setLaunchAtLogin(checked);
            // The switch shows what the controller holds, also when the change was refused.
            checked = Qt.binding(() => root.controller.launchAtLogin);
        }
    }
}

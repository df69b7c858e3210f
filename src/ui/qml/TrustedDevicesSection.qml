pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The trusted devices, one row each, or a hint on how to pair the first one.
ColumnLayout {
    id: root

    required property BridgeController controller
    required property TrustedDeviceModel devices

    spacing: 12

    SectionHeading {
        symbol: "checkmark.shield.fill"
        text: "TRUSTED DEVICES"
        color: Theme.cyan
    }
    Panel {
        objectName: "emptyDevicesHint"
        visible: root.devices.count === 0
        Layout.fillWidth: true
        padding: 18

        Text {
            anchors.left: parent.left
            anchors.right: parent.right
            text: "Open Tarnwick on a phone or tablet connected to this Wi-Fi network, choose this computer, and compare the six-digit code."
            color: Theme.explanatoryText
            font.family: Theme.family
            font.pixelSize: Theme.body
            wrapMode: Text.Wrap
        }
    }
    Repeater {
        model: root.devices
        // The row's required properties come from the model's roles.
        delegate: TrustedDeviceRow {
            Layout.fillWidth: true
            onForgetClicked: root.controller.forgetPeer(deviceID)
        }
    }
}

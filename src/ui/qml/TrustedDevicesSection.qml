pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The trusted devices, one row each, or a hint on how to pair the first one, under a heading
// with the button that opens the "Connect a phone" panel.
ColumnLayout {
    id: root

    required property BridgeController controller
    required property TrustedDeviceModel devices
    required property CeilingPanel ceiling

    signal connectPhoneClicked()

    spacing: 12

    RowLayout {
        Layout.fillWidth: true
        SectionHeading {
            Layout.fillWidth: true
            symbol: "checkmark.shield.fill"
            text: "TRUSTED DEVICES"
            color: Theme.cyan
        }
        BorderedButton {
            objectName: "connectPhoneButton"
            text: "Connect a phone"
            symbol: "iphone.and.arrow.forward"
            prominent: true
            onClicked: root.connectPhoneClicked()
        }
    }
    Panel {
        objectName: "emptyDevicesHint"
        visible: root.devices.count === 0
        Layout.fillWidth: true
        padding: 18

        Text {
            objectName: "emptyDevicesHintText"
            anchors.left: parent.left
            anchors.right: parent.right
            text: "Connect a phone: press \"Connect a phone\" and scan the code with the phone's camera, or run tarnwick-device on another computer."
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
            onReadOnlyToggled: (readOnly) => root.ceiling.setDeviceReadOnly(deviceID, readOnly)
        }
    }
}

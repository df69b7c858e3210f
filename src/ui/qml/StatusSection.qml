import QtQuick
import TarnwickBridge

// The three status cards sharing the row equally, all as tall as the tallest, with the restart
// button floating in the bottom-right corner of the last one.
Item {
    id: root

    required property BridgeController controller
    required property TrustedDeviceModel trustedDevices

    readonly property real spacing: 16
    readonly property real cardWidth: (width - 2 * spacing) / 3

    implicitHeight: Math.max(engineCard.implicitHeight, linkCard.implicitHeight,
                             devicesCard.implicitHeight)

    Row {
        anchors.fill: parent
        spacing: root.spacing

        StatusCard {
            id: engineCard
            objectName: "engineCard"
            width: root.cardWidth
            height: root.height
            title: "CODEX ENGINE"
            value: root.controller.appServerStatus
            symbol: "bolt.horizontal.circle.fill"
            color: root.controller.appServerReady ? Theme.green : Theme.orange
        }
        StatusCard {
            id: linkCard
            objectName: "linkCard"
            width: root.cardWidth
            height: root.height
            title: "LOCAL LINK"
            value: root.controller.linkStatus
            // Whole: when advertising is down it says what to do about it.
            valueLines: 12
            // What a person compares with the certificate a browser or a device shows, in
            // lines broken only between pairs.
            details: root.controller.certificateFingerprint.length > 0
                     ? "Certificate SHA-256\n" + DisplayFormat.fingerprint(root.controller.certificateFingerprint) : ""
            symbol: "wifi.circle.fill"
            color: Theme.cyan
        }
        StatusCard {
            id: devicesCard
            objectName: "devicesCard"
            width: root.cardWidth
            height: root.height
            title: "PAIRED DEVICES"
            value: root.trustedDevices.count + " trusted"
            symbol: "lock.shield.fill"
            color: Theme.purple
        }
    }

    BorderedButton {
        objectName: "restartButton"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 8
        symbol: "arrow.clockwise"
        text: "Restart Codex"
        onClicked: root.controller.restartAppServer()
    }
}

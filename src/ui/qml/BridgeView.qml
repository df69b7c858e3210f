import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import TarnwickBridge

// Everything the window shows, from top to bottom: header, status, pairing requests (only
// while there are some), trusted devices and activity, over the dark gradient; the "Connect a
// phone" panel over it all while it is open.
Item {
    id: root

    required property BridgeController controller
    required property PairingRequestModel pairingRequests
    required property TrustedDeviceModel trustedDevices
    required property ActivityLogModel activityLog
    required property PhonePairingPanel phonePairing
    property QtObject approvalSettings: null

    WindowBackground {
        anchors.fill: parent
    }

    ScrollView {
        id: scroll
        objectName: "scrollArea"
        anchors.fill: parent
        contentWidth: availableWidth
        ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
        // Shown whenever there is more to see than fits.
        ScrollBar.vertical: ScrollBar {
            parent: scroll
            x: scroll.width - width - 2
            y: 2
            height: scroll.height - 4
            policy: scroll.contentHeight > scroll.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
            contentItem: Rectangle {
                implicitWidth: 6
                radius: 3
                color: Qt.rgba(1, 1, 1, parent.pressed ? 0.5 : parent.hovered ? 0.4 : 0.28)
            }
        }

        ColumnLayout {
            id: column
            objectName: "sections"
            x: Theme.windowPadding
            y: Theme.windowPadding
            width: scroll.availableWidth - 2 * Theme.windowPadding
            spacing: Theme.sectionSpacing

            HeaderSection {
                objectName: "header"
                Layout.fillWidth: true
                controller: root.controller
            }
            ApprovalWaitSetting {
                objectName: "approvalWait"
                Layout.fillWidth: true
                settings: root.approvalSettings
            }
            StatusSection {
                objectName: "status"
                Layout.fillWidth: true
                controller: root.controller
                trustedDevices: root.trustedDevices
            }
            PairingSection {
                objectName: "pairing"
                Layout.fillWidth: true
                visible: root.pairingRequests.count > 0
                controller: root.controller
                requests: root.pairingRequests
            }
            TrustedDevicesSection {
                objectName: "trustedDevices"
                Layout.fillWidth: true
                controller: root.controller
                devices: root.trustedDevices
                onConnectPhoneClicked: root.phonePairing.show()
            }
            ActivitySection {
                objectName: "activity"
                Layout.fillWidth: true
                lines: root.activityLog
            }
        }
        // The column's padding belongs to the scrolled content.
        contentHeight: column.implicitHeight + 2 * Theme.windowPadding
    }

    // Over everything else while it is open; closing it burns the code it shows.
    PhonePairingOverlay {
        objectName: "phonePairingOverlay"
        anchors.fill: parent
        visible: root.phonePairing.open
        controller: root.controller
        panel: root.phonePairing
    }
}

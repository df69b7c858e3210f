pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The waiting pairings, one card each, in the order they arrived.
ColumnLayout {
    id: root

    required property BridgeController controller

    spacing: 12

    SectionHeading {
        symbol: "iphone.and.arrow.forward"
        text: "PAIRING REQUEST"
        color: Theme.yellow
    }
    Repeater {
        model: root.controller.pairingRequests
        delegate: PairingRequestCard {
            required property var modelData
            Layout.fillWidth: true
            requestId: modelData.id
            displayName: modelData.displayName
            code: modelData.code
            onRejectClicked: root.controller.rejectRequest(requestId)
            onPairClicked: root.controller.acceptRequest(requestId)
        }
    }
}

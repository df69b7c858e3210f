pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The waiting pairings, one card each, in the order they arrived.
ColumnLayout {
    id: root

    required property BridgeController controller
    required property PairingRequestModel requests

    spacing: 12

    SectionHeading {
        symbol: "iphone.and.arrow.forward"
        text: "PAIRING REQUEST"
        color: Theme.yellow
    }
    Repeater {
        model: root.requests
        // The card's required properties come from the model's roles.
        delegate: PairingRequestCard {
            Layout.fillWidth: true
            // By the serial and the code this card shows: if that request is gone when the
            // click lands, the click does nothing.
            onRejectClicked: root.controller.decideRequest(serial, code, false)
            onPairClicked: root.controller.decideRequest(serial, code, true)
        }
    }
}

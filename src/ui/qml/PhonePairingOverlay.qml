import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The "Connect a phone" panel over a dimmed window: the QR code of the address a phone opens,
// the address written out, the certificate's fingerprint to compare with the one the phone's
// browser shows, and how long the code works. "Done" (or Escape) closes it and burns the code.
Item {
    id: root

    required property BridgeController controller
    required property PhonePairingPanel panel

    // Dims the window and keeps clicks from reaching what is below.
    Rectangle {
        anchors.fill: parent
        color: Qt.rgba(0, 0, 0, 0.6)
        MouseArea {
            anchors.fill: parent
            hoverEnabled: true
            acceptedButtons: Qt.AllButtons
            onWheel: wheel => wheel.accepted = true
        }
    }

    Rectangle {
        anchors.centerIn: parent
        width: Math.min(parent.width - 2 * Theme.windowPadding, 520)
        height: content.implicitHeight + 2 * 24
        radius: Theme.panelRadius
        color: Theme.backgroundEnd
        border.color: Theme.panelOutline
        border.width: 1

        ColumnLayout {
            id: content
            anchors.fill: parent
            anchors.margins: 24
            spacing: 14

            SectionHeading {
                symbol: "iphone.and.arrow.forward"
                text: "CONNECT A PHONE"
                color: Theme.cyan
            }
            Text {
                Layout.fillWidth: true
                visible: root.panel.address.length === 0
                objectName: "phoneNotReady"
                text: root.panel.notReadyText
                color: Theme.explanatoryText
                font.family: Theme.family
                font.pixelSize: Theme.body
                wrapMode: Text.Wrap
            }
            // The code on white with its own margin, so that a camera finds it on any theme.
            Rectangle {
                Layout.alignment: Qt.AlignHCenter
                visible: root.panel.image.length > 0
                implicitWidth: 260
                implicitHeight: 260
                radius: 8
                color: "white"
                Image {
                    objectName: "phoneQrCode"
                    anchors.fill: parent
                    anchors.margins: 6
                    source: root.panel.image
                    fillMode: Image.PreserveAspectFit
                    smooth: false
                    mipmap: false
                    // A new code each time the panel opens: keeping old ones in the pixmap cache
                    // would only hold their textures.
                    cache: false
                }
            }
            TextEdit {
                objectName: "phoneAddress"
                Layout.fillWidth: true
                visible: root.panel.address.length > 0
                text: root.panel.address
                readOnly: true
                selectByMouse: true
                color: Theme.text
                font.family: Theme.fixedFamily
                font.pixelSize: Theme.body
                wrapMode: TextEdit.WrapAnywhere
                horizontalAlignment: TextEdit.AlignHCenter
            }
            Text {
                objectName: "phoneWarning"
                Layout.fillWidth: true
                visible: root.panel.warning.length > 0
                text: root.panel.warning
                color: Theme.orange
                font.family: Theme.family
                font.pixelSize: Theme.body
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
            Text {
                objectName: "phoneFingerprint"
                Layout.fillWidth: true
                visible: root.panel.address.length > 0 && root.controller.certificateFingerprint.length > 0
                // In lines broken only between pairs.
                text: "Certificate SHA-256\n" + DisplayFormat.fingerprint(root.controller.certificateFingerprint)
                color: Theme.secondaryText
                font.family: Theme.fixedFamily
                font.pixelSize: Theme.caption
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
            Text {
                objectName: "phoneOnce"
                Layout.fillWidth: true
                visible: root.panel.address.length > 0
                text: root.panel.onceText
                color: Theme.explanatoryText
                font.family: Theme.family
                font.pixelSize: Theme.body
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
            Repeater {
                // Trust this computer on the phone: the steps for each kind of phone and the
                // authority's fingerprint to compare.
                model: root.panel.trustLines
                Text {
                    objectName: "phoneTrustLine" + index
                    Layout.fillWidth: true
                    text: modelData
                    color: index === 0 ? Theme.text : Theme.explanatoryText
                    font.family: index === 3 ? Theme.fixedFamily : Theme.family
                    font.pixelSize: Theme.caption
                    wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                }
            }
            BorderedButton {
                objectName: "phoneDoneButton"
                Layout.alignment: Qt.AlignRight
                text: "Done"
                prominent: true
                onClicked: root.panel.close()
            }
        }
    }

    Shortcut {
        enabled: root.visible
        sequences: [StandardKey.Cancel]
        onActivated: root.panel.close()
    }
}

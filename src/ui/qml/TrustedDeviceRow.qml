import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// One trusted device: its name, when it was paired, and the button that forgets it.
Panel {
    id: root

    required property string deviceID
    required property string displayName
    required property date pairedAt
    required property string note

    signal forgetClicked

    padding: 14

    RowLayout {
        anchors.fill: parent
        spacing: Theme.defaultSpacing

        SymbolIcon {
            symbol: "iphone.gen3"
            color: Theme.cyan
            size: Theme.title2
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2

            Text {
                objectName: "deviceName"
                Layout.fillWidth: true
                text: DisplayFormat.visible(root.displayName)
                color: Theme.text
                font.family: Theme.family
                font.pixelSize: Theme.body
                font.weight: Font.DemiBold
                elide: Text.ElideRight
            }
            Text {
                objectName: "pairedLine"
                Layout.fillWidth: true
                text: DisplayFormat.pairedLine(root.pairedAt)
                color: Theme.secondaryText
                font.family: Theme.family
                font.pixelSize: Theme.caption
                elide: Text.ElideRight
            }
            Text {
                objectName: "versionNote"
                Layout.fillWidth: true
                visible: root.note.length > 0
                text: root.note
                color: Theme.orange
                font.family: Theme.family
                font.pixelSize: Theme.caption
                wrapMode: Text.Wrap
            }
        }
        BorderedButton {
            objectName: "forgetButton"
            text: "Forget"
            destructive: true
            onClicked: root.forgetClicked()
        }
    }
}

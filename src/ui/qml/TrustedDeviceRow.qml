import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// One trusted device: its name, when it was paired, its own ceiling if it has one, and the
// buttons that hold it to read-only and that forget it.
Panel {
    id: root

    required property string deviceID
    required property string displayName
    required property date pairedAt
    required property string note
    // The device's own ceiling ("own ceiling: at most read-only, …"), "" when it has none.
    required property string ownCeiling

    signal forgetClicked
    signal readOnlyToggled(bool readOnly)

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
                objectName: "ownCeiling"
                Layout.fillWidth: true
                visible: root.ownCeiling.length > 0
                text: root.ownCeiling
                color: Theme.secondaryText
                font.family: Theme.family
                font.pixelSize: Theme.caption
                wrapMode: Text.Wrap
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
            objectName: "readOnlyButton"
            text: root.ownCeiling.length > 0 ? "Same as every device" : "Read only"
            onClicked: root.readOnlyToggled(root.ownCeiling.length === 0)
        }
        BorderedButton {
            objectName: "forgetButton"
            text: "Forget"
            destructive: true
            onClicked: root.forgetClicked()
        }
    }
}

import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// One waiting pairing: who asks, the code to compare, and the two answers.
Panel {
    id: root

    // The number the terminal and `tarnwick-bridge pair` know this request by.
    required property real serial
    required property string displayName
    required property string code

    signal rejectClicked
    signal pairClicked

    padding: 18

    RowLayout {
        anchors.fill: parent
        spacing: Theme.defaultSpacing

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6

            Text {
                objectName: "requestName"
                Layout.fillWidth: true
                text: DisplayFormat.visible(root.displayName)
                color: Theme.text
                font.family: Theme.family
                font.pixelSize: Theme.title3
                font.bold: true
                elide: Text.ElideRight
            }
            Text {
                Layout.fillWidth: true
                objectName: "requestHint"
                text: "Request " + root.serial + ": confirm this code matches the one on the "
                      + "phone or tablet"
                color: Theme.explanatoryText
                font.family: Theme.family
                font.pixelSize: Theme.body
                wrapMode: Text.Wrap
            }
        }
        Text {
            objectName: "requestCode"
            text: root.code
            color: Theme.yellow
            font.family: Theme.fixedFamily
            font.pixelSize: 34
            font.weight: Font.Black
            font.letterSpacing: 5
        }
        BorderedButton {
            objectName: "rejectButton"
            text: "Reject"
            onClicked: root.rejectClicked()
        }
        BorderedButton {
            objectName: "pairButton"
            text: "Pair"
            prominent: true
            tint: Theme.green
            onClicked: root.pairClicked()
        }
    }
}

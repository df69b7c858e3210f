pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The ten newest lines of the activity log, the newest at the top.
ColumnLayout {
    id: root

    required property BridgeController controller

    spacing: 10

    SectionHeading {
        symbol: "waveform.path.ecg"
        text: "ACTIVITY"
        color: Theme.mint
    }
    Panel {
        objectName: "activityBox"
        Layout.fillWidth: true
        padding: 16

        Column {
            objectName: "activityLines"
            anchors.left: parent.left
            anchors.right: parent.right
            spacing: 7

            Repeater {
                model: root.controller.logs.slice(0, 10)
                delegate: Text {
                    required property string modelData
                    width: parent ? parent.width : 0
                    text: DisplayFormat.visible(modelData)
                    color: Theme.logText
                    font.family: Theme.fixedFamily
                    font.pixelSize: Theme.caption
                    wrapMode: Text.Wrap
                }
            }
        }
    }
}

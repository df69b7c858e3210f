pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The newest lines of the activity log (the model keeps ten), the newest at the top.
ColumnLayout {
    id: root

    required property ActivityLogModel lines

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
                model: root.lines
                delegate: Text {
                    required property string line
                    width: parent ? parent.width : 0
                    text: DisplayFormat.visible(line)
                    color: Theme.logText
                    font.family: Theme.fixedFamily
                    font.pixelSize: Theme.caption
                    wrapMode: Text.Wrap
                }
            }
        }
    }
}

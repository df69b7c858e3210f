pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// The most every device may ask Codex to do: the widest sandbox, whether approvals may be
// turned off, the network, the folders. Only this window, the terminal and the control
// command change it.
ColumnLayout {
    id: root

    required property CeilingPanel panel

    spacing: 12

    SectionHeading {
        Layout.fillWidth: true
        symbol: "lock.shield.fill"
        text: "DEVICE CEILING"
        color: Theme.orange
    }
    Panel {
        Layout.fillWidth: true
        padding: 14

        ColumnLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            spacing: 10

            RowLayout {
                spacing: 6
                Text {
                    text: "Sandbox at most"
                    color: Theme.text
                    font.family: Theme.family
                    font.pixelSize: Theme.body
                }
                Repeater {
                    model: ["Read only", "Workspace write", "Full access"]
                    delegate: BorderedButton {
                        required property int index
                        required property string modelData
                        objectName: "ceilingSandbox" + index
                        text: modelData
                        prominent: root.panel.sandbox === index
                        onClicked: root.panel.setSandbox(index)
                    }
                }
            }
            LaunchSwitch {
                objectName: "ceilingApprovalNever"
                text: "Devices may turn approvals off"
                checked: root.panel.approvalNever
                onToggled: root.panel.setApprovalNever(checked)
            }
            LaunchSwitch {
                objectName: "ceilingNetwork"
                text: "Commands in the sandbox may reach the network"
                checked: root.panel.networkAccess
                onToggled: root.panel.setNetworkAccess(checked)
            }
            Text {
                text: "Folders devices may work in, one a line (never in their dot-folders):"
                color: Theme.secondaryText
                font.family: Theme.family
                font.pixelSize: Theme.caption
            }
            RowLayout {
                Layout.fillWidth: true
                spacing: 8
                Rectangle {
                    Layout.fillWidth: true
                    implicitHeight: rootsEdit.implicitHeight + 12
                    radius: 6
                    color: Qt.rgba(0, 0, 0, 0.2)
                    border.color: Theme.panelOutline
                    TextEdit {
                        id: rootsEdit
                        objectName: "ceilingRoots"
                        anchors.fill: parent
                        anchors.margins: 6
                        text: root.panel.roots
                        color: Theme.text
                        font.family: Theme.fixedFamily
                        font.pixelSize: Theme.caption
                        selectByMouse: true
                    }
                }
                BorderedButton {
                    objectName: "ceilingRootsApply"
                    text: "Apply"
                    onClicked: root.panel.setRoots(rootsEdit.text)
                }
            }
            Text {
                objectName: "ceilingMessage"
                Layout.fillWidth: true
                visible: text.length > 0
                text: root.panel.message
                color: Theme.orange
                font.family: Theme.family
                font.pixelSize: Theme.caption
                wrapMode: Text.Wrap
            }
        }
    }
}

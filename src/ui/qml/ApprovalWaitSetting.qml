pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import TarnwickBridge

// How long Codex's approval questions wait for a paired device while none is connected: a row
// of choices, the one in force filled. The settings object keeps the choice for later runs.
RowLayout {
    id: root

    // ApprovalSettings; the row is hidden without it.
    property QtObject settings: null
    readonly property var choices: [
        { seconds: 0, label: "Decline at once" },
        { seconds: 300, label: "5 min" },
        { seconds: 600, label: "10 min" },
        { seconds: 1800, label: "30 min" },
        { seconds: -1, label: "No limit" }
    ]

    visible: settings !== null
    spacing: 8

    Text {
        text: "Approvals wait for a paired device:"
        color: Theme.explanatoryText
        font.family: Theme.family
        font.pixelSize: Theme.body
    }
    Repeater {
        model: root.choices
        delegate: BorderedButton {
            required property var modelData
            objectName: "approvalWait" + modelData.seconds
            text: modelData.label
            prominent: root.settings !== null && root.settings.waitSeconds === modelData.seconds
            onClicked: root.settings.setWaitSeconds(modelData.seconds)
        }
    }
    Text {
        // A value set otherwise (the terminal, the control command, a launch option).
        visible: root.settings !== null
                 && !root.choices.some(choice => choice.seconds === root.settings.waitSeconds)
        text: root.settings !== null ? root.settings.waitText : ""
        color: Theme.text
        font.family: Theme.family
        font.pixelSize: Theme.body
    }
    Item {
        Layout.fillWidth: true
    }
}

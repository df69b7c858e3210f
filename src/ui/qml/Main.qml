import QtQuick
import QtQuick.Window
import TarnwickBridge

// The bridge's one window: no title text, the dark background up to the top edge, never
// smaller than 780 × 620.
Window {
    id: appWindow

    required property BridgeController controller
    required property PairingRequestModel pairingRequests
    required property TrustedDeviceModel trustedDevices
    required property ActivityLogModel activityLog
    required property PhonePairingPanel phonePairing
    // ApprovalSettings, when the application has them.
    property QtObject approvalSettings: null
    // Drawn without the system's title bar, with a strip of its own to move it, where the window
    // manager moves and resizes frameless windows on request; elsewhere the system's title bar
    // stays, untitled.
    // Set by the application for the platform it runs on.
    property bool frameless: false

    title: ""
    color: Theme.backgroundStart
    minimumWidth: 780
    minimumHeight: 620
    width: Math.min(980, Math.max(minimumWidth, Screen.desktopAvailableWidth - 80))
    height: Math.min(820, Math.max(minimumHeight, Screen.desktopAvailableHeight - 80))
    flags: frameless ? (Qt.Window | Qt.FramelessWindowHint) : Qt.Window

    BridgeView {
        objectName: "bridgeView"
        anchors.fill: parent
        controller: appWindow.controller
        pairingRequests: appWindow.pairingRequests
        trustedDevices: appWindow.trustedDevices
        activityLog: appWindow.activityLog
        phonePairing: appWindow.phonePairing
        approvalSettings: appWindow.approvalSettings
    }

    Loader {
        anchors.fill: parent
        active: appWindow.frameless
        sourceComponent: WindowChrome {
            window: appWindow
        }
    }

    Shortcut {
        sequences: [StandardKey.Close]
        onActivated: appWindow.close()
    }
    Shortcut {
        sequences: [StandardKey.Quit]
        onActivated: Qt.quit()
    }
}

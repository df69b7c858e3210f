pragma Singleton
import QtQuick
import TarnwickBridge

// The window's shared look: colours, opacities, sizes and text styles.
QtObject {
    // Window background, from the top-left corner to the bottom-right one.
    readonly property color backgroundStart: Qt.rgba(0.04, 0.03, 0.12, 1)
    readonly property color backgroundEnd: Qt.rgba(0.02, 0.16, 0.23, 1)

    readonly property color text: "white"
    readonly property color secondaryText: Qt.rgba(1, 1, 1, 0.55)
    readonly property color logText: Qt.rgba(1, 1, 1, 0.68)
    readonly property color explanatoryText: Qt.rgba(1, 1, 1, 0.7)

    // Panels: every card, row and box of the window.
    readonly property real panelRadius: 18
    readonly property color panelFill: Qt.rgba(1, 1, 1, 0.075)
    readonly property color panelOutline: Qt.rgba(1, 1, 1, 0.12)

    // System colours, in their variants for dark surroundings.
    readonly property color green: "#30d158"
    readonly property color orange: "#ff9f0a"
    readonly property color cyan: "#64d2ff"
    readonly property color purple: "#bf5af2"
    readonly property color yellow: "#ffd60a"
    readonly property color mint: "#63e6e2"
    readonly property color red: "#ff453a"
    readonly property color accent: "#0a84ff"

    // Spacing and padding of the sections.
    readonly property real windowPadding: 30
    readonly property real sectionSpacing: 22
    readonly property real defaultSpacing: 8

    // Text styles, scaled from the system's body size as the platform's are from 13.
    readonly property string family: SystemFonts.family
    readonly property string fixedFamily: SystemFonts.fixedFamily
    readonly property string roundedFamily: SystemFonts.roundedFamily
    readonly property real body: SystemFonts.bodyPixelSize
    readonly property real headline: body
    readonly property real title: Math.round(body * 22 / 13)
    readonly property real title2: Math.round(body * 17 / 13)
    readonly property real title3: Math.round(body * 15 / 13)
    readonly property real caption: Math.round(body * 10 / 13)
}

import QtQuick
import TarnwickBridge

// One of the window's symbols, drawn from the Material Icons font. A symbol the font has no
// single glyph for is built from a filled shape with a second glyph cut out of it (drawn in the
// window's dark colour).
Item {
    id: root

    required property string symbol
    property color color: Theme.text
    // The size of the text the symbol stands beside; the glyph is drawn a little larger, as the
    // font's glyphs leave a margin inside their square.
    property real size: Theme.body
    readonly property real glyphSize: Math.round(size * 1.2)

    // Symbol name → base glyph, and the glyph cut out of it with its scale and vertical shift.
    readonly property var glyphs: ({
        "terminal.fill": { base: "\ueb8e" },
        "bolt.horizontal.circle.fill": { base: "\ue932" },
        "wifi.circle.fill": { base: "\uef4a", cut: "\ue63e", cutScale: 0.58, cutShift: 0.02 },
        "lock.shield.fill": { base: "\ue9e0", cut: "\ue897", cutScale: 0.46, cutShift: 0.0 },
        "arrow.clockwise": { base: "\ue5d5" },
        "iphone.and.arrow.forward": { base: "\ue0e7" },
        "checkmark.shield.fill": { base: "\ue8e8" },
        "iphone.gen3": { base: "\ue325" },
        "waveform.path.ecg": { base: "\ueaa2" }
    })
    readonly property var glyph: glyphs[symbol] ?? { base: "" }

    implicitWidth: glyphSize
    implicitHeight: glyphSize

    Text {
        id: base
        anchors.centerIn: parent
        text: root.glyph.base
        color: root.color
        font.family: "Material Icons"
        font.pixelSize: root.glyphSize
        renderType: Text.QtRendering
    }
    Text {
        visible: root.glyph.cut !== undefined
        anchors.centerIn: parent
        anchors.verticalCenterOffset: (root.glyph.cutShift ?? 0) * root.glyphSize
        text: root.glyph.cut ?? ""
        color: Theme.backgroundStart
        font.family: "Material Icons"
        font.pixelSize: root.glyphSize * (root.glyph.cutScale ?? 1)
        renderType: Text.QtRendering
    }
}

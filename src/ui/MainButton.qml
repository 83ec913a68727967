import QtQuick

// The screen's main button: a filled rounded rectangle with a white label, no other decoration.
// A click, Space and a press through assistive technology all emit `activated`; the screen
// decides whether a press counts.
Rectangle {
    id: button

    required property string text
    required property color fill
    required property color labelColor
    required property color focusColor

    signal activated()

    readonly property bool down: pointer.pressed && pointer.containsMouse

    // 14 points above and below the label, which takes the whole width.
    height: label.implicitHeight + 2 * 14
    radius: 12
    color: fill
    activeFocusOnTab: true
    border.width: activeFocus ? 2 : 0
    border.color: Qt.darker(focusColor, 1.5)
    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.defaultButton: true
    Accessible.focusable: true
    Accessible.onPressAction: button.activated()
    Keys.onSpacePressed: button.activated()

    // The pressed shade lies over the fill, which stays the state's colour.
    Rectangle {
        anchors.fill: parent
        radius: parent.radius
        color: "black"
        opacity: button.down ? 0.15 : 0
    }

    Text {
        id: label
        anchors.fill: parent
        text: button.text
        textFormat: Text.PlainText
        renderType: Text.NativeRendering
        font.pixelSize: 16
        font.weight: Font.DemiBold
        color: button.labelColor
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        Accessible.ignored: true
    }

    MouseArea {
        id: pointer
        anchors.fill: parent
        onClicked: button.activated()
    }
}

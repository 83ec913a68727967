pragma ComponentBehavior: Bound

import QtQuick

// An indeterminate progress indicator: eight dots fading around a circle, turning, in the colour
// of the platform's text.
Item {
    id: spinner

    property color color: palette.windowText

    width: 18
    height: 18
    Accessible.ignored: true

    SystemPalette {
        id: palette
        colorGroup: SystemPalette.Active
    }

    Repeater {
        model: 8
        Rectangle {
            id: dot
            required property int index
            x: spinner.width / 2 - width / 2
            width: 3
            height: 5
            radius: 1.5
            color: spinner.color
            opacity: 0.2 + 0.8 * dot.index / 7
            transform: Rotation {
                origin.x: 1.5
                origin.y: spinner.height / 2
                angle: 45 * dot.index
            }
        }
    }

    NumberAnimation on rotation {
        from: 0
        to: 360
        duration: 800
        loops: Animation.Infinite
        easing.type: Easing.Linear
    }
}

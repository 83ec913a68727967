import QtQuick

// The installer's only screen. It reads the installer state from `view` (busy, installed,
// message, installedURL, destinationPath, applicationExistsAtDestination) and re-evaluates on each
// change; its only effects are starting the install action and quitting.
Item {
    id: screen
    objectName: "screen"

    required property QtObject view
    property url iconSource

    // The fixed colours of the screen; everything else comes from the platform palette.
    readonly property QtObject colours: QtObject {
        readonly property color blue: "#007AFF"
        readonly property color gray: "#8E8E93"
        readonly property color red: "#FF3B30"
        readonly property color white: "#FFFFFF"
    }
    readonly property color backgroundColor: platform.window
    readonly property color textColor: platform.windowText
    readonly property color secondaryTextColor: Qt.rgba(textColor.r, textColor.g, textColor.b, 0.6)

    readonly property int inset: 36
    readonly property int gap: 20
    readonly property int iconSize: 88
    readonly property int headingPixelSize: 28
    readonly property int bodyPixelSize: 13
    readonly property int captionPixelSize: 11
    readonly property int buttonPixelSize: 16
    readonly property int buttonVerticalPadding: 14
    readonly property int buttonRadius: 12

    implicitWidth: 520
    implicitHeight: 480

    // Every way of pressing the main button ends here, and none counts while the button is
    // disabled: after a successful installation it quits, otherwise it starts the install action,
    // which runs on its own and drives the state; this returns at once.
    function press() {
        if (!mainButton.enabled)
            return
        if (view.installed)
            Qt.quit()
        else
            view.startInstall()
    }

    SystemPalette {
        id: platform
        colorGroup: SystemPalette.Active
    }

    Rectangle {
        objectName: "background"
        anchors.fill: parent
        color: screen.backgroundColor
    }

    Column {
        id: column
        objectName: "column"
        x: screen.inset
        y: Math.max(screen.inset, (screen.height - height) / 2)
        width: screen.width - 2 * screen.inset
        spacing: screen.gap

        // Height left for the message line once the other visible children and their gaps are
        // placed; a longer message scrolls instead of pushing the button out of the window.
        readonly property real roomForMessage: {
            let used = 0
            for (const item of [icon, heading, lead, location, note, progress, mainButton]) {
                if (item.visible)
                    used += item.height + spacing
            }
            return screen.height - 2 * screen.inset - used
        }

        Image {
            id: icon
            objectName: "icon"
            anchors.horizontalCenter: parent.horizontalCenter
            width: screen.iconSize
            height: screen.iconSize
            source: screen.iconSource
            // Decoded at the shown size (times the display's pixel ratio), so no mipmaps are needed.
            sourceSize: Qt.size(screen.iconSize, screen.iconSize)
            fillMode: Image.Stretch
            smooth: true
            Accessible.ignored: true
        }

        Text {
            id: heading
            objectName: "heading"
            width: parent.width
            text: screen.view.installed ? qsTr("Vantorel jest zainstalowany")
                : screen.view.applicationExistsAtDestination ? qsTr("Zainstaluj ponownie Vantorel")
                : qsTr("Zainstaluj Vantorel")
            textFormat: Text.PlainText
            renderType: Text.NativeRendering
            // A font wider than the platform's may not fit a heading on one line at full size:
            // it then shrinks a little before it wraps.
            font.pixelSize: Math.max(screen.headingPixelSize - 6, Math.min(screen.headingPixelSize,
                Math.floor(screen.headingPixelSize * width / headingMetrics.advanceWidth)))
            font.bold: true
            color: screen.textColor
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.Heading
            Accessible.name: text

            TextMetrics {
                id: headingMetrics
                text: heading.text
                font.pixelSize: screen.headingPixelSize
                font.bold: true
            }
        }

        Text {
            id: lead
            objectName: "lead"
            width: parent.width
            text: screen.view.installed
                ? qsTr("Aplikacja została uruchomiona. Możesz zamknąć instalator i wysunąć obraz dysku.")
                : qsTr("Jedno kliknięcie skopiuje aplikację do folderu Aplikacje i ją uruchomi. Nie musisz niczego przeciągać.")
            textFormat: Text.PlainText
            renderType: Text.NativeRendering
            font.pixelSize: screen.bodyPixelSize
            color: screen.textColor
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Text {
            id: location
            objectName: "location"
            visible: !screen.view.installed
            width: parent.width
            // The path is only probed while it is shown.
            text: visible ? qsTr("Miejsce instalacji: %1").arg(screen.view.destinationPath) : ""
            textFormat: Text.PlainText
            renderType: Text.NativeRendering
            font.pixelSize: screen.captionPixelSize
            color: screen.secondaryTextColor
            horizontalAlignment: Text.AlignHCenter
            // A path has few spaces: break inside a long component rather than overflow.
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Text {
            id: note
            objectName: "note"
            visible: !screen.view.installed
            width: parent.width
            text: qsTr("Nie usuwamy ustawień ani zapisanej licencji. macOS może poprosić o potwierdzenie dostępu.")
            textFormat: Text.PlainText
            renderType: Text.NativeRendering
            font.pixelSize: screen.captionPixelSize
            color: screen.secondaryTextColor
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Row {
            id: progress
            objectName: "progress"
            visible: screen.view.busy
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 8
            Accessible.role: Accessible.ProgressBar
            Accessible.name: progressLabel.text

            // An indeterminate spinner: eight dots fading around a circle, turning. Made only
            // while it shows, like the message text: the ready screen should appear quickly.
            Loader {
                anchors.verticalCenter: parent.verticalCenter
                width: 18
                height: 18
                active: progress.visible
                sourceComponent: spinnerComponent
            }

            Text {
                id: progressLabel
                objectName: "progressLabel"
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("Instalowanie…")
                textFormat: Text.PlainText
                renderType: Text.NativeRendering
                font.pixelSize: screen.bodyPixelSize
                color: screen.textColor
                Accessible.ignored: true
            }
        }

        Flickable {
            id: messageBox
            objectName: "message"
            visible: screen.view.message !== ""
            width: parent.width
            height: Math.min(contentHeight, Math.max(2 * screen.bodyPixelSize, column.roomForMessage))
            contentWidth: width
            contentHeight: messageLoader.item ? messageLoader.item.implicitHeight : 0
            clip: true
            interactive: contentHeight > height
            boundsBehavior: Flickable.StopAtBounds

            // Shows that there is more text, and where the visible part lies.
            Rectangle {
                parent: messageBox
                visible: messageBox.interactive
                anchors.right: parent.right
                y: messageBox.visibleArea.yPosition * messageBox.height
                width: 3
                height: messageBox.visibleArea.heightRatio * messageBox.height
                radius: 1.5
                color: screen.secondaryTextColor
            }

            Loader {
                id: messageLoader
                width: messageBox.width
                active: messageBox.visible
                sourceComponent: messageComponent
            }
        }

        // The main button: a filled rounded rectangle with a white label, no other decoration.
        Rectangle {
            id: mainButton
            objectName: "mainButton"

            readonly property string text: screen.view.installed ? qsTr("Zamknij instalator")
                : screen.view.installedURL !== "" ? qsTr("Uruchom Vantorel ponownie")
                : qsTr("Zainstaluj i uruchom Vantorel")
            readonly property bool down: pointer.pressed && pointer.containsMouse

            width: parent.width
            height: label.implicitHeight + 2 * screen.buttonVerticalPadding
            radius: screen.buttonRadius
            enabled: !screen.view.busy
            color: screen.view.busy ? screen.colours.gray : screen.colours.blue
            activeFocusOnTab: true
            border.width: activeFocus ? 2 : 0
            border.color: Qt.darker(screen.colours.blue, 1.5)
            Accessible.role: Accessible.Button
            Accessible.name: text
            Accessible.defaultButton: true
            Accessible.focusable: true
            Accessible.onPressAction: screen.press()
            Keys.onSpacePressed: screen.press()

            // The pressed shade lies over the fill, which stays the state's colour.
            Rectangle {
                anchors.fill: parent
                radius: parent.radius
                color: "black"
                opacity: mainButton.down ? 0.15 : 0
            }

            Text {
                id: label
                anchors.fill: parent
                text: mainButton.text
                textFormat: Text.PlainText
                renderType: Text.NativeRendering
                font.pixelSize: screen.buttonPixelSize
                font.weight: Font.DemiBold
                color: screen.colours.white
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                elide: Text.ElideRight
                Accessible.ignored: true
            }

            MouseArea {
                id: pointer
                anchors.fill: parent
                onClicked: screen.press()
            }
        }
    }

    Component {
        id: spinnerComponent

        Item {
            id: spinner
            Accessible.ignored: true

            Repeater {
                model: 8
                Rectangle {
                    required property int index
                    x: spinner.width / 2 - width / 2
                    width: 3
                    height: 5
                    radius: 1.5
                    color: screen.textColor
                    opacity: 0.2 + 0.8 * index / 7
                    transform: Rotation {
                        origin.x: 1.5
                        origin.y: spinner.height / 2
                        angle: 45 * index
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
    }

    Component {
        id: messageComponent

        TextEdit {
            objectName: "messageText"
            text: screen.view.message
            textFormat: TextEdit.PlainText
            renderType: TextEdit.NativeRendering
            font.pixelSize: screen.bodyPixelSize
            readOnly: true
            selectByMouse: true
            persistentSelection: true
            color: screen.colours.red
            selectionColor: screen.colours.blue
            selectedTextColor: screen.colours.white
            horizontalAlignment: TextEdit.AlignHCenter
            wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            // While the text has the keyboard focus it receives Return itself.
            Keys.onReturnPressed: screen.press()
            Keys.onEnterPressed: screen.press()
        }
    }

    // Return (and Enter on the keypad) presses the button.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: mainButton.enabled
        onActivated: screen.press()
    }

    // The platform's Quit command ends the program in every phase, also while an installation
    // runs, as closing the window does.
    Shortcut {
        sequences: [StandardKey.Quit]
        onActivated: Qt.quit()
    }
}

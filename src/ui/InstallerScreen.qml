import QtQuick
import Vantorel.Ui

// The installer's only screen. It shows what the phase of the installer state in `view` calls
// for (the table `looks` below), with the state's message and destination path as they are; its
// only effects are starting the install action and quitting.
// Plain Qt Quick items, not Qt Quick Controls: the screen has one flat button of its own look, and
// loading a Controls style would only lengthen the start.
Item {
    id: screen
    objectName: "screen"

    required property InstallerState view
    property url iconSource

    // The fixed colours of the screen; everything else comes from the platform palette.
    readonly property color blue: "#007AFF"
    readonly property color gray: "#8E8E93"
    readonly property color red: "#FF3B30"
    readonly property color white: "#FFFFFF"
    readonly property color backgroundColor: platform.window
    readonly property color textColor: platform.windowText
    readonly property color secondaryTextColor: Qt.rgba(textColor.r, textColor.g, textColor.b, 0.6)

    readonly property int inset: 36
    readonly property int gap: 20
    readonly property int iconSize: 88
    readonly property int headingPixelSize: 28
    readonly property int bodyPixelSize: 13
    readonly property int captionPixelSize: 11

    implicitWidth: 520
    implicitHeight: 480

    // Every way of pressing the main button ends here, and none counts while the button is
    // disabled: after a successful installation it quits, otherwise it starts the install action,
    // which runs on its own and drives the state; this returns at once.
    function press() {
        if (!mainButton.enabled)
            return
        if (look.quits)
            Qt.quit()
        else
            view.startInstall()
    }

    // What each phase of the state shows: the heading, the lead text, the button's label and what
    // it does, whether the action runs (progress row; gray, disabled button), whether the failure
    // line shows and whether the destination does (location and note lines). The message itself
    // and the path are the state's own.
    readonly property var looks: {
        const first = qsTr("Zainstaluj Vantorel")
        const again = qsTr("Zainstaluj ponownie Vantorel")
        const install = qsTr("Zainstaluj i uruchom Vantorel")
        const launch = qsTr("Uruchom Vantorel ponownie")
        const ready = qsTr("Jedno kliknięcie skopiuje aplikację do folderu Aplikacje i ją uruchomi. Nie musisz niczego przeciągać.")
        const beforeStart = (heading, button, working, failure) => ({
            heading: heading, lead: ready, button: button, quits: false,
            working: working, failure: failure, destination: true
        })
        return {
            [InstallerState.FirstInstall]: beforeStart(first, install, false, false),
            [InstallerState.Reinstall]: beforeStart(again, install, false, false),
            [InstallerState.Failed]: beforeStart(first, install, false, true),
            [InstallerState.FailedReinstall]: beforeStart(again, install, false, true),
            [InstallerState.Installing]: beforeStart(first, install, true, false),
            [InstallerState.Reinstalling]: beforeStart(again, install, true, false),
            [InstallerState.Launching]: beforeStart(again, launch, true, false),
            [InstallerState.LaunchingGoneCopy]: beforeStart(first, launch, true, false),
            [InstallerState.InstalledNotLaunched]: beforeStart(again, launch, false, true),
            [InstallerState.InstalledCopyGone]: beforeStart(first, launch, false, true),
            [InstallerState.Done]: {
                heading: qsTr("Vantorel jest zainstalowany"),
                lead: qsTr("Aplikacja została uruchomiona. Możesz zamknąć instalator i wysunąć obraz dysku."),
                button: qsTr("Zamknij instalator"), quits: true,
                working: false, failure: false, destination: false
            }
        }
    }
    readonly property var look: looks[view.phase]

    // The screen's texts: plain text, drawn by the platform's text engine, centred and wrapped.
    component ScreenText: Text {
        textFormat: Text.PlainText
        renderType: Text.NativeRendering
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WordWrap
        Accessible.role: Accessible.StaticText
        Accessible.name: text
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
            for (let i = 0; i < children.length; ++i) {
                const item = children[i]
                if (item !== messageBox && item.visible)
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
            sourceSize.width: screen.iconSize
            sourceSize.height: screen.iconSize
            fillMode: Image.Stretch
            smooth: true
            Accessible.ignored: true
        }

        ScreenText {
            id: heading
            objectName: "heading"
            width: parent.width
            text: screen.look.heading
            // A font wider than the platform's may not fit a heading on one line at full size:
            // it then shrinks a little before it wraps.
            font.pixelSize: Math.max(screen.headingPixelSize - 6, Math.min(screen.headingPixelSize,
                Math.floor(screen.headingPixelSize * width / headingMetrics.advanceWidth)))
            font.bold: true
            color: screen.textColor
            Accessible.role: Accessible.Heading

            TextMetrics {
                id: headingMetrics
                text: heading.text
                font.pixelSize: screen.headingPixelSize
                font.bold: true
            }
        }

        ScreenText {
            objectName: "lead"
            width: parent.width
            text: screen.look.lead
            font.pixelSize: screen.bodyPixelSize
            color: screen.textColor
        }

        ScreenText {
            objectName: "location"
            visible: screen.look.destination
            width: parent.width
            // The path is only probed while it is shown.
            text: visible ? qsTr("Miejsce instalacji: %1").arg(screen.view.destinationPath) : ""
            font.pixelSize: screen.captionPixelSize
            color: screen.secondaryTextColor
            // A path has few spaces: break inside a long component rather than overflow.
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
        }

        ScreenText {
            objectName: "note"
            visible: screen.look.destination
            width: parent.width
            text: qsTr("Nie usuwamy ustawień ani zapisanej licencji. macOS może poprosić o potwierdzenie dostępu.")
            font.pixelSize: screen.captionPixelSize
            color: screen.secondaryTextColor
        }

        Row {
            id: progress
            objectName: "progress"
            visible: screen.look.working
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 8
            Accessible.role: Accessible.ProgressBar
            Accessible.name: progressLabel.text

            // Made only while it shows: the ready screen appears sooner and takes less memory.
            Loader {
                anchors.verticalCenter: parent.verticalCenter
                active: progress.visible
                source: "Spinner.qml"
            }

            ScreenText {
                id: progressLabel
                objectName: "progressLabel"
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("Instalowanie…")
                font.pixelSize: screen.bodyPixelSize
                color: screen.textColor
                Accessible.ignored: true
            }
        }

        Flickable {
            id: messageBox
            objectName: "message"
            visible: screen.look.failure
            width: parent.width
            height: Math.min(contentHeight, Math.max(2 * screen.bodyPixelSize, column.roomForMessage))
            contentWidth: width
            contentHeight: messageText.implicitHeight
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

            TextEdit {
                id: messageText
                objectName: "messageText"
                width: messageBox.width
                text: screen.view.message
                textFormat: TextEdit.PlainText
                renderType: TextEdit.NativeRendering
                font.pixelSize: screen.bodyPixelSize
                readOnly: true
                selectByMouse: true
                persistentSelection: true
                color: screen.red
                selectionColor: screen.blue
                selectedTextColor: screen.white
                horizontalAlignment: TextEdit.AlignHCenter
                wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                // While the text has the keyboard focus it receives Return itself.
                Keys.onReturnPressed: screen.press()
                Keys.onEnterPressed: screen.press()
            }
        }

        MainButton {
            id: mainButton
            objectName: "mainButton"
            width: parent.width
            text: screen.look.button
            enabled: !screen.look.working
            fill: screen.look.working ? screen.gray : screen.blue
            labelColor: screen.white
            focusColor: screen.blue
            onActivated: screen.press()
        }
    }

    // Return (and Enter on the keypad) presses the button.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: mainButton.enabled
        onActivated: screen.press()
    }

    // The platform's Quit command ends the program in every phase, also while an installation
    // runs, as closing the window does. (The linter of Qt 6.4 does not know StandardKey.)
    Shortcut {
        sequences: [StandardKey.Quit] // qmllint disable unqualified
        onActivated: Qt.quit()
    }
}

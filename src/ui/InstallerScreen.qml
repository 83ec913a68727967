import QtQuick
import QtQuick.Controls.Basic

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

    // Quits after a successful installation, otherwise starts the install action, which runs on
    // its own and drives the state; this returns at once.
    function activate() {
        if (view.installed)
            Qt.quit()
        else
            view.startInstall()
    }

    // Return and Enter: the button's action, but never while the button is disabled.
    function defaultAction() {
        if (mainButton.enabled)
            activate()
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
            sourceSize: Qt.size(2 * screen.iconSize, 2 * screen.iconSize)
            fillMode: Image.Stretch
            smooth: true
            mipmap: true
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

            BusyIndicator {
                anchors.verticalCenter: parent.verticalCenter
                implicitWidth: 22
                implicitHeight: 22
                padding: 0
                running: progress.visible
                Accessible.ignored: true
            }

            Text {
                id: progressLabel
                objectName: "progressLabel"
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("Instalowanie…")
                textFormat: Text.PlainText
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
            height: Math.min(contentHeight, Math.max(message.font.pixelSize * 2, column.roomForMessage))
            contentWidth: width
            contentHeight: message.implicitHeight
            clip: true
            interactive: contentHeight > height
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {
                policy: messageBox.interactive ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
            }

            TextEdit {
                id: message
                objectName: "messageText"
                width: messageBox.width
                text: screen.view.message
                textFormat: TextEdit.PlainText
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
                Keys.onReturnPressed: screen.defaultAction()
                Keys.onEnterPressed: screen.defaultAction()
            }
        }

        Button {
            id: mainButton
            objectName: "mainButton"
            width: parent.width
            enabled: !screen.view.busy
            text: screen.view.installed ? qsTr("Zamknij instalator")
                : screen.view.installedURL !== "" ? qsTr("Uruchom Vantorel ponownie")
                : qsTr("Zainstaluj i uruchom Vantorel")
            topPadding: screen.buttonVerticalPadding
            bottomPadding: screen.buttonVerticalPadding
            leftPadding: 0
            rightPadding: 0
            font.pixelSize: screen.buttonPixelSize
            font.weight: Font.DemiBold
            Accessible.name: text
            Accessible.defaultButton: true

            contentItem: Text {
                text: mainButton.text
                textFormat: Text.PlainText
                font: mainButton.font
                color: screen.colours.white
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                elide: Text.ElideRight
            }

            background: Rectangle {
                objectName: "buttonFill"
                radius: screen.buttonRadius
                color: screen.view.busy ? screen.colours.gray : screen.colours.blue
                // Pressed and keyboard focus get a shade and a ring; the fill stays the state's.
                Rectangle {
                    anchors.fill: parent
                    radius: parent.radius
                    color: "black"
                    opacity: mainButton.down ? 0.15 : 0
                }
                border.width: mainButton.visualFocus ? 2 : 0
                border.color: Qt.darker(screen.colours.blue, 1.4)
            }

            onClicked: screen.activate()
        }
    }

    // Return (and Enter on the keypad) is the default action, never while the button is disabled.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: mainButton.enabled
        onActivated: screen.defaultAction()
    }
}

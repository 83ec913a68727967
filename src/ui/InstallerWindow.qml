import QtQuick
import QtQuick.Window
import Vantorel.Ui

// The installer's one window: its content is the installer screen, and its size is the screen's
// fixed size, so it cannot be resized.
Window {
    id: window

    required property InstallerState view
    property url iconSource

    objectName: "installer"
    title: qsTr("Instalator Vantorel")
    width: content.implicitWidth
    height: content.implicitHeight
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    flags: Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowSystemMenuHint
           | Qt.WindowMinimizeButtonHint | Qt.WindowCloseButtonHint
    color: content.backgroundColor

    InstallerScreen {
        id: content
        anchors.fill: parent
        view: window.view
        iconSource: window.iconSource
    }
}

import QtQuick
import QtQuick.Window

Window {
    width: 360
    height: 200
    visible: true
    title: Qt.application.name

    Column {
        anchors.centerIn: parent
        spacing: 8

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: Qt.application.name
            font.pixelSize: 28
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: "Wersja " + Qt.application.version
            font.pixelSize: 16
        }
    }
}

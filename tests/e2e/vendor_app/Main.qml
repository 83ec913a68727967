import QtQuick
import QtQuick.Window
import QtQuick.Layouts

Window {
    width: 320
    height: 120
    visible: true
    title: greeting

    ColumnLayout {
        anchors.fill: parent

        Text {
            Layout.alignment: Qt.AlignCenter
            text: greeting
        }
    }
}

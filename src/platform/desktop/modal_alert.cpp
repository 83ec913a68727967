#include "modal_alert.h"

#include <QList>
#include <QMessageBox>
#include <QPushButton>

int runModalAlert(const AlertContent& content) {
    QMessageBox alert;
    alert.setText(content.messageText);
    alert.setInformativeText(content.informativeText);
    QList<QAbstractButton*> buttons;
    for (const QString& title : content.buttons) {
        // Roles only tell the style where to place a button; the response comes from its index.
        const auto role = buttons.isEmpty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        buttons.append(alert.addButton(title, role));
    }
    if (!buttons.isEmpty()) {
        alert.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
        alert.setEscapeButton(buttons.last());
    }
    alert.exec();
    const auto chosen = buttons.indexOf(alert.clickedButton());
    return alertFirstButtonReturn + static_cast<int>(chosen < 0 ? buttons.size() - 1 : chosen);
}

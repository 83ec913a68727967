#pragma once

#include <QString>
#include <QStringList>

// A question put to the user in an application-modal alert.
struct AlertContent {
    QString messageText;
    QString informativeText;
    // Button titles in the order they are added; the first is the default (Return), the last one
    // answers Escape and closing the alert.
    QStringList buttons;
};

// The response for the first added button; the next ones count up from it.
inline constexpr int alertFirstButtonReturn = 1000;

// Shows the alert and waits until the user answers; returns alertFirstButtonReturn + the index of
// the chosen button. Needs a QApplication.
int runModalAlert(const AlertContent& content);

#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>
#include <memory>

#include "installer_window.h"
#include "preview_state.h"

namespace {

// Translates every text to "EN:" and the text, and keeps the texts it was asked for.
class Prefixing : public QTranslator {
public:
    mutable QStringList asked;
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* source, const char*, int) const override {
        asked << QString::fromUtf8(source);
        return "EN:" + asked.last();
    }
};

}  // namespace

class InstallerWindowTest : public QObject {
    Q_OBJECT

private slots:
    void translationTableChoice_data() {
        QTest::addColumn<QStringList>("tables");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("country before language") << QStringList{"pt", "pt_BR"} << "pt_BR"
                                                 << "pt_BR.qm";
        QTest::newRow("other language only") << QStringList{"en"} << "de_DE"
                                             << "";
        QTest::newRow("damaged table passed over") << QStringList{"damaged:en_GB", "en"} << "en_GB"
                                                   << "en.qm";
    }

    void translationTableChoice() {
        QFETCH(QStringList, tables);
        QFETCH(QString, locale);
        QFETCH(QString, chosen);
        QTemporaryDir resources;
        for (const QString& table : tables) {
            // An empty table is the file format's magic number alone.
            QFile file(resources.filePath(table.section(':', -1) + ".qm"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(table.startsWith("damaged:")
                           ? QByteArray("not a table")
                           : QByteArray::fromHex("3cb86418caef9c95cd211cbf60a1bddd"));
        }
        const auto translator =
            ui::loadTranslation(resources.path().toStdString(), QLocale(locale));
        QCOMPARE(translator ? QFileInfo(translator->filePath()).fileName() : QString(), chosen);
    }

    // An installed translation replaces every text of the window and the screen, in every phase.
    // (The preview shows each phase it names.)
    void translationReplacesEveryText() {
        Prefixing translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        const auto restore = qScopeGuard([&] { QCoreApplication::removeTranslator(&translator); });
        for (const QString& name : PreviewState::phaseNames()) {
            const auto phase = PreviewState::phaseNamed(name.toStdString());
            QQmlEngine engine;
            PreviewState state(*phase, "/home/tester/Applications");
            QCOMPARE(state.phase(), phase);
            const auto window = ui::createInstallerWindow(engine, &state, {});
            QCOMPARE(window->title(), QStringLiteral("EN:Instalator Vantorel"));
            for (const char* name :
                 {"heading", "lead", "location", "note", "progressLabel", "mainButton"}) {
                auto* item = window->findChild<QQuickItem*>(name);
                if (item->isVisible()) {
                    QVERIFY2(item->property("text").toString().startsWith("EN:"), name);
                }
            }
        }
        QVERIFY(translator.asked.contains("Miejsce instalacji: %1"));  // the path is not in the key
    }
};

QTEST_MAIN(InstallerWindowTest)
#include "tst_installer_window.moc"

// The windows in English where the user's language is English: the texts come from
// the translation, the window titles stay (they identify the windows).
#include "app/translations.h"
#include "ui/mainwindow.h"
#include "ui/webremotepanel.h"

#include <QTranslator>
#include <QtTest>
#include <QtWidgets>

class TestEnglish : public QObject
{
    Q_OBJECT
private slots:
    void textsFollowTheLanguage_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QStringList>("texts"); // pairing box, settings tab, tray quit entry
        QTest::newRow("Chinese") << QLocale(QLocale::Chinese, QLocale::China)
                                 << QStringList{"只允许输入配对码的手机", "设置", "退出"};
        QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedKingdom)
                                 << QStringList{"Only phones that give the pairing code",
                                                "Settings", "Quit"};
    }
    void textsFollowTheLanguage()
    {
        QFETCH(QLocale, locale);
        QFETCH(QStringList, texts);
        QTranslator translator;
        QCOMPARE(InstallTranslations(locale, translator), locale.language() == QLocale::English);
        MainWindow w;
        w.InitTrayIcon();
        auto* tabs = w.findChild<QTabWidget*>("tabWidget");
        QStringList tabTitles;
        for (int i = 0; i < tabs->count(); ++i)
            tabTitles << tabs->tabText(i);
        QCOMPARE((QStringList{w.findChild<QCheckBox*>("checkBoxPairing")->text(),
                              tabTitles.last(),
                              w.trayIcon()->contextMenu()->actions().last()->text()}),
                 texts);
        QCOMPARE(w.windowTitle(), QStringLiteral("Tovanel - 被控端"));
        QCoreApplication::removeTranslator(&translator);
    }
};

QTEST_MAIN(TestEnglish)
#include "tst_english.moc"

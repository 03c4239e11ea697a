// The rules behind presenting, without a display: which screen the setting names,
// and how many slide keys a controller may send.
#include "host/screenchoice.h"
#include "server/keyrate.h"

#include <QtTest>

class TestScreenRules : public QObject
{
    Q_OBJECT
private slots:
    void settingNamesAScreen_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("index"); // -1: the primary
        const QStringList laptop{"eDP-1", "HDMI-1"};
        QTest::newRow("name, blanks and case") << laptop << " hdmi-1 " << 1;
        QTest::newRow("beyond the screens") << laptop << "3" << -1;
        QTest::newRow("signed") << laptop << "+2" << -1;
        QTest::newRow("huge") << laptop << "99999999999999999999" << -1;
        QTest::newRow("a name like a position") << QStringList{"2", "A"} << "2" << 0;
    }
    void settingNamesAScreen()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, setting);
        QFETCH(int, index);
        std::vector<std::string> list;
        for (const QString& n : names)
            list.push_back(n.toStdString());
        QCOMPARE(host::ChooseScreen(setting.toStdString(), list), index);
    }

    // Each step: a controller's key at a moment (ms), admitted or not ("a@0+" ...).
    void keysPerSecond_data()
    {
        QTest::addColumn<QStringList>("steps");
        const QStringList twenty = QString("a@0+ ").repeated(20).split(' ', Qt::SkipEmptyParts);
        QTest::newRow("the 21st within a second") << twenty + QStringList{"a@999-", "a@1000+"};
        QTest::newRow("spread over the second")
            << QStringList{"a@0+"} + QString("a@50+ ").repeated(19).split(' ', Qt::SkipEmptyParts) +
                   QStringList{"a@999-", "a@1000+", "a@1049-", "a@1050+"};
        QTest::newRow("each controller its own") << twenty + QStringList{"b@10+", "a@10-"};
    }
    void keysPerSecond()
    {
        QFETCH(QStringList, steps);
        KeyRate rate;
        for (const QString& step : steps) {
            const QString id = step.section('@', 0, 0);
            const qint64 ms = step.section('@', 1).chopped(1).toLongLong();
            QVERIFY2(rate.admit(id, ms) == step.endsWith('+'), qPrintable(step));
        }
    }
};

QTEST_GUILESS_MAIN(TestScreenRules)
#include "tst_screenrules.moc"

// The log file's records and the log window; the companion code.
#include "base/authcode.h"
#include "base/jwlog.h"
#include "ui/jwlogui.h"

#include <QtTest> // all of QtCore too
#include <thread>

// A record's stamp and level %1 (":ms" repeats minute and second; in "Warning" the
// "a" is the am/pm marker).
static const QString kStamp =
    QStringLiteral("\\n>\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{2,4}>%1:");

class TestApp : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QFile log{dir.path() + "/jwshowApp.log"};
    void openLog(bool debugMode)
    {
        g_debugMode = debugMode;
        JWLOG::log_init(dir.path());
        JWLOG::log_open();
    }
    QString logText()
    {
        log.close();
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

private slots:
    void cleanup()
    {
        JWLOG::log_close();
        g_debugMode = false;
        log.remove();
    }

    void recordsAreAppendedOnlyInDebugModeAndUntilClosed()
    {
        openLog(false);
        JWLOG::debug(QStringLiteral("quiet"));
        JWLOG::log_close();
        QVERIFY(!log.exists());

        QVERIFY(log.open(QIODevice::WriteOnly) && log.write("earlier run\n") > 0);
        log.close();
        openLog(true);
        JWLOG::debug(QStringLiteral("line one\nline two"));
        JWLOG::error(QStringLiteral("错误"));
        JWLOG::warning(QStringLiteral("w"));
        JWLOG::log_close();
        JWLOG::debug(QStringLiteral("after close"));

        const QString content = logText();
        QVERIFY2(QRegularExpression("^earlier run\\n" + kStamp.arg("Debug") +
                                    "line one\\nline two\\n" + kStamp.arg("Error") + "错误\\n" +
                                    kStamp.arg("W[ap]mrning") + "w\\n$")
                     .match(content)
                     .hasMatch(),
                 qPrintable(content));
    }

    void recordsOfSeveralThreadsNeverMix()
    {
        openLog(true);
        constexpr int kThreads = 4, kRecords = 400;
        static void (*const kWrite[])(const QString&) = {JWLOG::debug, JWLOG::error,
                                                         JWLOG::warning};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kRecords; ++i)
                    kWrite[i % 3](QStringLiteral("T%1-%2-").arg(t).arg(i) + QString(300, 'x'));
            });
        for (std::thread& th : threads)
            th.join();
        JWLOG::log_close();

        const QString content = logText();
        const QRegularExpression record("\\G" + kStamp.arg("\\w+") + "T(\\d)-(\\d+)-x{300}\\n");
        int pos = 0, total = 0, next[kThreads] = {};
        for (; pos < content.size(); ++total) {
            const QRegularExpressionMatch m = record.match(content, pos);
            QVERIFY2(m.hasMatch(), qPrintable("broken record: " + content.mid(pos, 80)));
            QCOMPARE(m.captured(2).toInt(), next[m.captured(1).toInt()]++); // order kept
            pos = m.capturedEnd();
        }
        QCOMPARE(total, kThreads * kRecords);
    }

    void logWindowKeepsTheNewestTenThousandLines_data()
    {
        QTest::addColumn<QVector<int>>("batches"); // sizes of the batches, in order
        QTest::newRow("one line at a time") << QVector<int>(10005, 1);
        QTest::newRow("batches") << QVector<int>{4000, 4000, 2005};
        QTest::newRow("one batch past the cap") << QVector<int>{10005};
    }

    // A debug session running for days keeps only the newest lines, however they come,
    // and shows what a controller sent as it came, whatever markup it holds.
    void logWindowKeepsTheNewestTenThousandLines()
    {
        QFETCH(QVector<int>, batches);
        g_debugMode = true;
        JWLOGUI window;
        int n = 0;
        for (int size : batches) {
            QStringList lines;
            while (lines.size() < size)
                lines << QStringLiteral("<b>%1</b><img src=\"/a\">").arg(++n);
            size == 1 ? window.sl_writTestLog(lines.first()) : window.appendLines(lines);
        }
        const QStringList shown = window.text().split('\n');
        QCOMPARE(shown.size(), 10000);
        const QRegularExpression stamp(
            "^\\d\\d:\\d\\d:\\d\\d:\\d{2,4}:<b>(\\d+)</b><img src=\"/a\">$");
        QCOMPARE(QStringList({stamp.match(shown.first()).captured(1),
                              stamp.match(shown.last()).captured(1)}),
                 QStringList({"6", "10005"}));
    }

    void authCodeIsSixDigitsInRange()
    {
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString code = *seen.insert(MakeAuthCode());
            QVERIFY2(code.size() == 6 && code.toInt() >= 600000 && code.toInt() <= 999998,
                     qPrintable(code));
        }
        QVERIFY(seen.size() > 1900); // not derived from the clock
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"

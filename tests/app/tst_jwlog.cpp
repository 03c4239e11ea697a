// The log record format, its life cycle and thread safety; the settings store;
// the companion code.
#include "app/authcode.h"
#include "app/jwlog.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <vector>

namespace
{

QStringList g_debugLines;
QtMessageHandler g_previousHandler = nullptr;

void collect(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    if (type == QtDebugMsg)
        g_debugLines << msg;
    else if (g_previousHandler)
        g_previousHandler(type, ctx, msg);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestJwLog : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        g_debugLines.clear();
        g_previousHandler = qInstallMessageHandler(collect);
    }
    void cleanup()
    {
        qInstallMessageHandler(g_previousHandler);
        JWLOG::log_close();
        g_debugMode = false;
    }

    void stampExpandsTheWholePattern()
    {
        const QDateTime evening(QDate(2026, 12, 5), QTime(18, 5, 9));
        QCOMPARE(JWLOG::stamp(JWLOG::Debug, evening),
                 QStringLiteral("\n>2026/12/05 18:05:09:59>Debug:"));
        QCOMPARE(JWLOG::stamp(JWLOG::Error, evening),
                 QStringLiteral("\n>2026/12/05 18:05:09:59>Error:"));

        // In "Warning" the "a" is the am/pm marker, which also makes hh 12-hour.
        const QDateTime afternoon(QDate(2026, 12, 5), QTime(15, 4, 0));
        QCOMPARE(JWLOG::stamp(JWLOG::Warning, afternoon),
                 QStringLiteral("\n>2026/12/05 03:04:00:40>Wpmrning:"));
        QCOMPARE(JWLOG::stamp(JWLOG::Debug, afternoon),
                 QStringLiteral("\n>2026/12/05 15:04:00:40>Debug:"));
        const QDateTime morning(QDate(2027, 1, 2), QTime(0, 30, 45));
        QCOMPARE(JWLOG::stamp(JWLOG::Warning, morning),
                 QStringLiteral("\n>2027/01/02 12:30:45:3045>Wamrning:"));
    }

    void recordsAreAppendedAndEndWithALineFeed()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/jwshowApp.log";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("earlier run\n");
        }
        g_debugMode = true;
        JWLOG::log_init(dir.path());
        JWLOG::log_open();
        QCOMPARE(g_debugLines, QStringList{QStringLiteral(">>打开日志成功")});
        JWLOG::debug(QStringLiteral("line one\nline two"));
        JWLOG::error(QStringLiteral("错误"));
        JWLOG::warning(QStringLiteral("w"));
        const QByteArray beforeClose = readAll(path);
        JWLOG::log_close();
        JWLOG::debug(QStringLiteral("after close"));

        const QByteArray content = readAll(path);
        QCOMPARE(content, beforeClose);
        QVERIFY(content.startsWith("earlier run\n\n>"));
        const QRegularExpression re(QStringLiteral(
            "^earlier run\\n"
            "\\n>\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{2,4}>Debug:line one\\nline two\\n"
            "\\n>\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{2,4}>Error:错误\\n"
            "\\n>\\d{4}/\\d\\d/\\d\\d (0\\d|1[0-2]):\\d\\d:\\d\\d:\\d{2,4}>W(am|pm)rning:w\\n$"));
        QVERIFY2(re.match(QString::fromUtf8(content)).hasMatch(), content.constData());
        QCOMPARE(g_debugLines.last(), QStringLiteral(">>关闭日志"));
    }

    void nothingOutsideDebugMode()
    {
        QTemporaryDir dir;
        g_debugMode = false;
        JWLOG::log_init(dir.path());
        JWLOG::log_open();
        JWLOG::debug(QStringLiteral("x"));
        JWLOG::error(QStringLiteral("x"));
        JWLOG::warning(QStringLiteral("x"));
        JWLOG::log_close();
        QVERIFY(!QFile::exists(dir.path() + "/jwshowApp.log"));
        QVERIFY(g_debugLines.isEmpty());
    }

    void missingFolderReportsOnceAndWritesNothing()
    {
        QTemporaryDir dir;
        const QString missing = dir.path() + "/nope";
        g_debugMode = true;
        JWLOG::log_init(missing);
        JWLOG::log_open();
        JWLOG::debug(QStringLiteral("dropped"));
        QCOMPARE(g_debugLines, QStringList{QStringLiteral(">>打开日志失败 ")});
        QVERIFY(!QFile::exists(missing));
    }

    void concurrentRecordsNeverMix()
    {
        QTemporaryDir dir;
        g_debugMode = true;
        JWLOG::log_init(dir.path());
        JWLOG::log_open();

        constexpr int kThreads = 4;
        constexpr int kRecords = 400;
        const QString filler(300, QLatin1Char('x'));
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(QThread::create([t, filler] {
                for (int i = 0; i < kRecords; ++i) {
                    const QString msg = QStringLiteral("T%1-%2-").arg(t).arg(i) + filler;
                    if (i % 3 == 0)
                        JWLOG::debug(msg);
                    else if (i % 3 == 1)
                        JWLOG::error(msg);
                    else
                        JWLOG::warning(msg);
                }
            }));
        }
        for (auto& th : threads)
            th->start();
        for (auto& th : threads)
            QVERIFY(th->wait(60000));
        JWLOG::log_close();

        const QString content = QString::fromUtf8(readAll(dir.path() + "/jwshowApp.log"));
        const QRegularExpression record(QStringLiteral(
            "\\n>\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{2,4}>(Debug|Error|W[ap]mrning):"
            "T(\\d)-(\\d+)-x{300}\\n"));
        int pos = 0;
        int next[kThreads] = {0, 0, 0, 0};
        int total = 0;
        while (pos < content.size()) {
            const QRegularExpressionMatch m =
                record.match(content, pos, QRegularExpression::NormalMatch,
                             QRegularExpression::AnchoredMatchOption);
            QVERIFY2(m.hasMatch(), qPrintable(QStringLiteral("broken record at offset %1: %2")
                                                  .arg(pos)
                                                  .arg(content.mid(pos, 80))));
            const int t = m.captured(2).toInt();
            QCOMPARE(m.captured(3).toInt(), next[t]); // each thread's order is kept
            ++next[t];
            ++total;
            pos = m.capturedEnd();
        }
        QCOMPARE(total, kThreads * kRecords);
    }

    void settingsRoundTrip()
    {
        QTemporaryDir dir;
        const QString ini = dir.path() + "/sub/app.ini";
        QCOMPARE(ReadConfig("config", "port", ini), QString());
        WriteConfig("config", "port", "6000", ini);
        WriteConfig("config", "autofull", " 1", ini);
        QCOMPARE(ReadConfig("config", "port", ini), QStringLiteral("6000"));
        QCOMPARE(ReadConfig("config", "autofull", ini), QStringLiteral(" 1"));
        QCOMPARE(ReadConfig("config", "runtray", ini), QString());
        QCOMPARE(ReadConfig("other", "port", ini), QString());
        const QByteArray text = readAll(ini);
        QVERIFY2(text.startsWith("[config]\n"), text.constData());
        QVERIFY(text.contains("\nport=6000\n"));
    }

    void dataFolderComesFromTheEnvironment()
    {
        const QByteArray saved = qgetenv("JWSHOW_DATA_DIR");
        qputenv("JWSHOW_DATA_DIR", "/tmp/some/where/");
        QCOMPARE(GetAppDataPath(), QStringLiteral("/tmp/some/where"));
        qunsetenv("JWSHOW_DATA_DIR");
        const QString fallback = GetAppDataPath();
        QVERIFY2(fallback.endsWith(QStringLiteral("/JWShow")), qPrintable(fallback));
        if (!saved.isNull())
            qputenv("JWSHOW_DATA_DIR", saved);
    }

    void authCodeIsSixDigitsInRange()
    {
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString code = MakeAuthCode();
            QCOMPARE(code.size(), 6);
            bool ok = false;
            const int v = code.toInt(&ok);
            QVERIFY(ok);
            QVERIFY(v >= 600000 && v <= 999998);
            seen.insert(code);
        }
        // Not derived from the clock: codes drawn in the same second differ.
        QVERIFY(seen.size() > 1900);
    }
};

QTEST_GUILESS_MAIN(TestJwLog)
#include "tst_jwlog.moc"

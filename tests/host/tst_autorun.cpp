// The autostart entry: the command line the session runs is the program, whatever
// characters its path holds, and an installed copy is named by its link.

#include "host/autorun.h"

#include <QtTest>

class TestAutorun : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8()); }

    // Exec is split at blanks and reads quotes, '$', '%' and escapes: any path is one
    // quoted argument, and a line break cannot add keys of its own.
    void execNamesTheProgram_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << "/usr/bin/jwshow"
                               << "Exec=/usr/bin/jwshow";
        QTest::newRow("blank") << "/home/a b/jwshow"
                               << "Exec=\"/home/a b/jwshow\"";
        QTest::newRow("quotes, $, `, \\, %") << "/x/\"$`\\y/50%/it's"
                                             << "Exec=\"/x/\\\\\"\\\\$\\\\`\\\\\\\\y/50%%/it's\"";
        QTest::newRow("line break") << "/t/a\nHidden=true"
                                    << "Exec=\"/t/a\\nHidden=true\"";
        QTest::newRow("Chinese") << QStringLiteral("/home/李四/jwshow")
                                 << QStringLiteral("Exec=/home/李四/jwshow");
    }
    void execNamesTheProgram()
    {
        QFETCH(QString, program);
        QFETCH(QString, exec);
        QVERIFY(host::WriteAutorunEntry(program.toStdString()));
        QFile file(QString::fromStdString(host::AutorunEntryLocation()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        QCOMPARE(lines.filter(QRegularExpression("^Exec=")), QStringList{exec});
        QVERIFY(!lines.contains("Hidden=true"));
        QCOMPARE(QString::fromStdString(host::ReadAutorunEntry()), program);

        const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
        if (validator.isEmpty())
            return;
        QProcess check;
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start(validator, {file.fileName()});
        QVERIFY(check.waitForFinished(10000));
        QVERIFY2(check.exitCode() == 0 && check.readAll().isEmpty(), qPrintable(exec));
    }

    // The link in the system's program folder names the installed program only when
    // it leads to that very file.
    void installedCopyIsNamedByItsLink_data()
    {
        QTest::addColumn<QString>("launcher"); // what bin/jwshow is
        QTest::addColumn<bool>("named");
        QTest::newRow("link") << "link:../lib/jwshow/jwshow" << true;
        QTest::newRow("link to a link") << "link:../lib/jwshow/alias" << true;
        QTest::newRow("none") << "" << false;
        QTest::newRow("link elsewhere") << "link:../lib/jwshow/other" << false;
        QTest::newRow("a copy") << "copy" << false;
    }
    void installedCopyIsNamedByItsLink()
    {
        QFETCH(QString, launcher);
        QFETCH(bool, named);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath("lib/jwshow") && QDir(root.path()).mkpath("bin"));
        const QString program = root.filePath("lib/jwshow/jwshow");
        const QString link = root.filePath("bin/jwshow");
        for (const QString& name : {program, root.filePath("lib/jwshow/other")}) {
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("\x7f"
                                                            "ELF") == 4);
        }
        QVERIFY(QFile::link("jwshow", root.filePath("lib/jwshow/alias")));
        if (launcher.startsWith("link:"))
            QVERIFY(QFile::link(launcher.mid(5), link));
        else if (launcher == "copy")
            QVERIFY(QFile::copy(program, link));
        const std::string expected = (named ? link : program).toStdString();
        QCOMPARE(host::AutorunProgram(program.toStdString(), link.toStdString()), expected);
    }
};

QTEST_GUILESS_MAIN(TestAutorun)
#include "tst_autorun.moc"

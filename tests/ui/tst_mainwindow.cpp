// The program in process (its application object, as start-up makes it) through
// its settings window: the controller table, the apply button (options, autorun
// entry, port changes), the tray menu, the About dialog and the companion process.
#include "app/application.h"
#include "app/companion.h"
#include "boxanswerer.h"
#include "host/autorun.h"
#include "jwinstance.h"

#include <QTcpServer>
#include <QtTest>
#include <QtWidgets>
#include <csignal>
#include <functional>

namespace
{
QJsonObject packet(const QString& type, const QString& from, const QString& name = {},
                   const QString& ip = {})
{
    return {{"type", type}, {"id", "1"}, {"from", from}, {"name", name}, {"ip", ip}, {"pwd", "p"}};
}

QStringList rowOf(QTableWidget* t, int row)
{
    return {t->item(row, 0)->text(), t->item(row, 1)->text(), t->item(row, 2)->text()};
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<Application> app;
    MainWindow* w = nullptr;
    quint16 port = 0;
    template <typename T> T* child(const char* name) { return w->findChild<T*>(name); }
    QString ini(const char* key)
    {
        return QSettings(app->settings().path(), QSettings::IniFormat)
            .value(QStringLiteral("config/") + key)
            .toString();
    }
    // Runs `run` with every message box answered; the boxes' texts.
    QStringList answerBoxes(const std::function<void()>& run,
                            const std::function<void()>& also = {})
    {
        jwtest::BoxAnswerer answer(also);
        run();
        return answer.texts;
    }

private slots:
    void initTestCase()
    {
        qputenv("JWSHOW_DATA_DIR", dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        // Start-up finds all five ports taken: it says so and still runs the
        // dispatcher, so a later port change serves at once.
        const quint16 taken = jwtest::freePortWith({11, 22, 33, 44});
        std::vector<std::unique_ptr<QTcpServer>> occupiers;
        for (int k = 0; k <= 44; k += 11) {
            occupiers.push_back(std::make_unique<QTcpServer>());
            QVERIFY(occupiers.back()->listen(QHostAddress::Any, quint16(taken + k)));
        }
        QSettings(dir.path() + "/app.ini", QSettings::IniFormat)
            .setValue("config/port", QString::number(taken));
        app = std::make_unique<Application>(false);
        w = &app->mainWindow();
        QCOMPARE(answerBoxes([this] { app->start(); }), QStringList{"系统启动网络服务器失败。"});
        QCOMPARE(ini("pairing"), QStringLiteral("0")); // any phone, as before the setting
        port = jwtest::freePortWith({1});
        child<QLineEdit>("lineEditPort")->setText(QString::number(port));
        answerBoxes([this] { w->on_btnAplay_clicked(); });
        jwtest::Controller c(port);
        QVERIFY(c.connectToHost() && !c.login("first").isEmpty());
        c.socket().disconnectFromHost();
        QTRY_COMPARE(child<QTableWidget>("tableWidget")->rowCount(), 0);
    }
    void cleanupTestCase() { app.reset(); }

    void titleAndFixedSize()
    {
        QCOMPARE(w->windowTitle(), QStringLiteral("Tovanel - 被控端"));
        QCOMPARE(w->minimumSize(), QSize(530, 348));
        QCOMPARE(w->maximumSize(), QSize(530, 348));
    }

    void tableFollowsTheControllers()
    {
        auto* table = child<QTableWidget>("tableWidget");
        jwtest::Controller a(port), b(port);
        QVERIFY(a.connectToHost() && b.connectToHost());
        QVERIFY(a.send(packet("login", "phone-a", QStringLiteral("李四"), "10.1.2.3")));
        QTRY_COMPARE(table->rowCount(), 1);
        QVERIFY(b.send(packet("login", "phone-b", "bob", "10.1.2.4")));
        QTRY_COMPARE(table->rowCount(), 2);
        QCOMPARE(rowOf(table, 0), (QStringList{"phone-a", "10.1.2.3", QStringLiteral("李四")}));
        QCOMPARE(rowOf(table, 1), (QStringList{"phone-b", "10.1.2.4", "bob"}));

        QVERIFY(a.send(packet("logout", "phone-a")));
        QTRY_COMPARE(table->rowCount(), 1);
        QCOMPARE(rowOf(table, 0).first(), QStringLiteral("phone-b"));

        // "断开连接" closes the selected controller's connection; the row goes when
        // the server notices.
        table->selectRow(0);
        for (QAction* act : w->findChildren<QAction*>())
            if (act->text() == QStringLiteral("断开连接"))
                act->trigger();
        QTRY_COMPARE(table->rowCount(), 0);
        QVERIFY(b.waitForClose(5000));
    }

    void applyWritesTheOptions()
    {
        auto* access = child<QLabel>("labPhoneAccess");
        QCOMPARE(access->text(), QStringLiteral("手机连接：任何手机均可连接"));
        child<QCheckBox>("checkBoxFullScreen")->setChecked(false);
        child<QCheckBox>("checkBoxRunTrayIcon")->setChecked(true);
        child<QCheckBox>("checkBoxAutoRun")->setChecked(true);
        child<QCheckBox>("checkBoxPairing")->setChecked(true);
        PairingGuard& pairing = app->pairingGuard();
        QVERIFY(!pairing.tcpCodeRequired()); // not before the apply
        w->on_btnAplay_clicked();            // same port: no question
        QCOMPARE(ini("autofull"), QStringLiteral("0"));
        QCOMPARE(ini("runtray"), QStringLiteral("1"));
        QCOMPARE(ini("pairing"), QStringLiteral("1"));
        QVERIFY(!app->showWindow().autoFull() && pairing.tcpCodeRequired());
        QCOMPARE(access->text(), QStringLiteral("手机连接：只允许输入配对码的手机"));
        const QString program = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
        QCOMPARE(QString::fromStdString(host::ReadAutorunEntry()), program);

        // Switched off, the entry stays with a blank command and is hidden.
        child<QCheckBox>("checkBoxAutoRun")->setChecked(false);
        child<QCheckBox>("checkBoxPairing")->setChecked(false);
        w->on_btnAplay_clicked();
        QCOMPARE(ini("pairing"), QStringLiteral("0"));
        QVERIFY(!pairing.tcpCodeRequired());
        QFile entry(dir.path() + "/config/autostart/TOVANEL.desktop");
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArray text = entry.readAll();
        QVERIFY2(text.contains("\nExec= \n") && text.contains("\nHidden=true\n"), text.constData());
    }

    void trayMenuAndAbout()
    {
        w->setTrayCheck([] { return true; }); // the offscreen platform has none
        QStringList entries;
        for (const QAction* a : w->trayIcon()->contextMenu()->actions())
            entries << (a->isSeparator() ? QStringLiteral("|") : a->text());
        QCOMPARE(entries, (QStringList{"关于", "帮助", "显示主窗体", "|", "退出"}));
        QCOMPARE(w->trayIcon()->toolTip(), w->windowTitle());

        // Closing hides; a context request leaves it hidden; a click shows it.
        w->show();
        QVERIFY(!w->close() && !w->isVisible());
        w->trayiconActivated(QSystemTrayIcon::Context);
        QVERIFY(!w->isVisible());
        w->trayiconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(w->isVisible());

        // "关于" twice shows one dialog; "确定" closes it and nothing else.
        w->menu_about_click();
        w->menu_about_click();
        QList<QDialog*> abouts;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits("About"))
                abouts << static_cast<QDialog*>(top);
        QCOMPARE(abouts.size(), 1);
        QVERIFY(abouts[0]->isVisible());
        QCOMPARE(abouts[0]->findChild<QLabel*>("labelVersion")->text(),
                 QStringLiteral("Tovanel v1.0.4.111"));
        abouts[0]->findChild<QPushButton*>("pushButton")->click();
        QVERIFY(!abouts[0]->isVisible() && w->isVisible());
    }

    // A window started hidden ("runtray") or closed stays within reach: hidden
    // only into a tray, else shown, saying why, and minimised by its close button.
    void withoutATrayTheWindowStays_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::newRow("tray") << true;
        QTest::newRow("no tray") << false;
    }
    void withoutATrayTheWindowStays()
    {
        QFETCH(bool, tray);
        MainWindow win; // hidden, as start-up leaves it with runtray=1
        bool present = tray;
        win.setTrayCheck([&present] { return present; });
        win.InitTrayIcon();
        QCOMPARE(win.isVisible(), !tray);
        auto* line = win.findChild<QLabel*>("labNoTray");
        QCOMPARE(line && line->isVisible(), !tray);

        win.showNormal();
        QVERIFY(!win.close());
        QCOMPARE(win.isVisible(), !tray);
        QCOMPARE(win.isMinimized(), !tray);

        // A tray that comes later (a panel started after the program) takes it.
        present = true;
        win.showNormal();
        QVERIFY(!win.close() && !win.isVisible());
        QVERIFY(!line || !line->isVisible());
    }

    // ... and nobody is disconnected: the new port is bound before anything else.
    void failedPortChangeKeepsServingTheOldPort()
    {
        auto* table = child<QTableWidget>("tableWidget");
        jwtest::Controller stays(port);
        QVERIFY(stays.connectToHost() && !stays.login("stays").isEmpty());
        QTRY_COMPARE(table->rowCount(), 1);
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, 0));
        child<QLineEdit>("lineEditPort")->setText(QString::number(occupier.serverPort()));
        const QStringList boxes = answerBoxes([this] { w->on_btnAplay_clicked(); });
        QCOMPARE(boxes, (QStringList{"是否确定更改通讯端口并自动重启服务程序?",
                                     "重启服务失败。请重新修改端口号,再启动。"}));
        QCOMPARE(child<QLineEdit>("lineEditPort")->text(), QString::number(port));
        QCOMPARE(ini("port"), QString::number(port));
        QVERIFY(jwtest::Controller(port).connectToHost());
        QVERIFY(!stays.request({{"type", "file.list"}, {"id", "1"}}).isEmpty());
        QTest::qWait(100);
        QCOMPARE(table->rowCount(), 1);
        stays.socket().abort();
        QTRY_COMPARE(table->rowCount(), 0);
    }

    // A port change closes every controller; the show window closing with the last
    // of them runs pending events, and a disconnect clicked just then must not
    // find the registry locked (it dead-locked the program).
    void portChangeWithADisconnectPending()
    {
        auto* table = child<QTableWidget>("tableWidget");
        jwtest::Controller a(port);
        QVERIFY(a.connectToHost() && a.send(packet("login", "phone-a")));
        QTRY_COMPARE(table->rowCount(), 1);
        app->showWindow().show();
        table->selectRow(0);
        const quint16 next = jwtest::freePortWith({1});
        child<QLineEdit>("lineEditPort")->setText(QString::number(next));
        answerBoxes([this] { w->on_btnAplay_clicked(); },
                    [this] {
                        QMetaObject::invokeMethod(w, &MainWindow::sl_disconnection,
                                                  Qt::QueuedConnection);
                    });
        QTRY_COMPARE(table->rowCount(), 0);
        QTRY_VERIFY(!app->showWindow().isVisible());
        QVERIFY(a.waitForClose(5000));
        QCOMPARE(ini("port"), QString::number(next));
        jwtest::Controller b(next);
        QVERIFY(b.connectToHost() && !b.login("phone-b").isEmpty());
        port = next;
    }

    // A companion that stops at once, or cannot start at all, is started again
    // after growing pauses (0, 0.5, 1, 2 s ...), never in a busy loop.
    void companionRestartsBackOff_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("exits at once") << QStringLiteral("/bin/false");
        QTest::newRow("missing") << dir.path() + "/no-such-companion";
    }
    void companionRestartsBackOff()
    {
        QFETCH(QString, program);
        CompanionProcess c;
        c.setProgram(program);
        int starts = 0;
        connect(&c, &CompanionProcess::stateChanged, [&](QProcess::ProcessState s) {
            if (s == QProcess::Starting)
                ++starts;
            if (s == QProcess::NotRunning)
                c.restart(false);
        });
        c.start();
        QTest::qWait(2500);
        QVERIFY2(starts >= 3 && starts <= 5, qPrintable(QString::number(starts)));
    }

    // A confirmed port change stops the companion, re-binds the server and starts
    // the companion with the new ports. A refused port leaves the change pending:
    // the companion comes back on the old ports, and its next stop tries the
    // field's port again.
    void portChangeMovesTheCompanion()
    {
        // The boxes come from queued state changes, not from the click.
        jwtest::BoxAnswerer answer;
        const QStringList& boxes = answer.texts;
        auto* field = child<QLineEdit>("lineEditPort");
        app->startCompanion(QStringLiteral(JW_BIN_DIR));
        jwtest::Companion first;
        QTRY_VERIFY_WITH_TIMEOUT((first = jwtest::findCompanion(port)).pid, 5000);

        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, 0));
        field->setText(QString::number(occupier.serverPort()));
        w->on_btnAplay_clicked();
        QTRY_COMPARE(boxes.size(), 2);
        QCOMPARE(boxes.last(), QStringLiteral("重启服务失败。请重新修改端口号,再启动。"));
        QCOMPARE(field->text(), QString::number(port));
        jwtest::Companion back;
        QTRY_VERIFY_WITH_TIMEOUT(
            (back = jwtest::findCompanion(port)).pid > 0 && back.pid != first.pid, 5000);
        QCOMPARE(back.args, first.args);

        const quint16 next = jwtest::freePortWith({1});
        field->setText(QString::number(next));
        ::kill(pid_t(back.pid), SIGKILL);
        jwtest::Companion moved;
        QTRY_VERIFY_WITH_TIMEOUT((moved = jwtest::findCompanion(next)).pid, 5000);
        QStringList expected = first.args;
        expected[2] = QString::number(next + 1);
        expected[6] = QString::number(next);
        QCOMPARE(moved.args, expected);
        QCOMPARE(ini("port"), QString::number(next));
        QTRY_VERIFY(jwtest::findCompanion(port).pid == 0);
        QVERIFY(jwtest::Controller(next).connectToHost());
        QCOMPARE(boxes.size(), 2);
        port = next;
    }

    void portFieldRefusesLetters()
    {
        auto* edit = child<QLineEdit>("lineEditPort");
        edit->clear();
        QTest::keyClicks(edit, "6a0b0-0 ");
        QCOMPARE(edit->text(), QStringLiteral("6000"));
        QCOMPARE(child<QLabel>("labPort")->text(), QStringLiteral("6000"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

// The program in process (debug mode) through its settings window: controller table,
// apply button, companion process, the browser remote's panel, English windows.
#include "app/application.h"
#include "app/companion.h"
#include "app/translations.h"
#include "base/jwlog.h"
#include "boxanswerer.h"
#include "host/autorun.h"
#include "jwinstance.h"
#include "ui/qrcodelabel.h"
#include "ui/webremotepanel.h"

#include <QStandardPaths>
#include <QTcpServer>
#include <QWebSocket>
#include <QtTest>
#include <QtWidgets>
#include <csignal>
#include <thread>

namespace
{
QJsonObject login(const QString& from, const QString& name = {}, const QString& ip = {})
{
    return jwtest::packet("login", from, {{"name", name}, {"ip", ip}, {"pwd", "p"}}, "1");
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    static constexpr qint64 kPauseMs = 300; // a pause of pairing (a minute in the program)
    QTemporaryDir dir;
    std::unique_ptr<Application> app;
    MainWindow* w = nullptr;
    QTableWidget* table = nullptr;
    QLineEdit* portField = nullptr;
    quint16 port = 0;
    jwtest::Companion companion;
    template <typename T> T* child(const char* name) { return w->findChild<T*>(name); }
    QString ini(const char* key)
    {
        return QSettings(app->settings().path(), QSettings::IniFormat)
            .value(QStringLiteral("config/") + key)
            .toString();
    }
    QStringList row(int r) const
    {
        return {table->item(r, 0)->text(), table->item(r, 1)->text(), table->item(r, 2)->text()};
    }
    WebRemotePanel* panel() { return w->webRemotePanel(); }
    QString scan() // what a QR reader makes of the code on the screen
    {
        const QString png = dir.filePath("qr.png");
        panel()->qrCode()->grab().save(png);
        QProcess p;
        p.start(QStandardPaths::findExecutable("zbarimg"), {"--raw", "-q", png});
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    void applyPort(quint16 newPort) // the question answered with yes
    {
        portField->setText(QString::number(newPort));
        jwtest::BoxAnswerer answer;
        w->on_btnAplay_clicked();
    }

public slots:
    void open(const QUrl& url) { opened << url; } // the browser
private:
    QList<QUrl> opened;

private slots:
    void initTestCase()
    {
        qputenv("JWSHOW_DATA_DIR", dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        g_debugMode = true; // the log file and the log window's lines
        JWLOG::log_init(dir.path());
        JWLOG::log_open();
        // All five ports taken: start-up says so and still runs the dispatcher, for a
        // later port change to serve at once. The web port's first is taken too.
        const quint16 taken = jwtest::freePortWith({2, 11, 13, 22, 33, 44});
        std::vector<std::unique_ptr<QTcpServer>> occupiers;
        for (int k : {0, 2, 11, 22, 33, 44}) {
            occupiers.push_back(std::make_unique<QTcpServer>());
            QVERIFY(occupiers.back()->listen(QHostAddress::Any, quint16(taken + k)));
        }
        QSettings cfg(dir.path() + "/app.ini", QSettings::IniFormat);
        cfg.setValue("config/port", QString::number(taken));
        cfg.setValue("config/runtray", "1");
        cfg.sync();
        app = std::make_unique<Application>(true, kPauseMs);
        w = &app->mainWindow();
        table = child<QTableWidget>("tableWidget");
        portField = child<QLineEdit>("lineEditPort");
        {
            jwtest::BoxAnswerer answer;
            app->start();
            QCOMPARE(answer.texts, QStringList{"系统启动网络服务器失败。"});
        }
        // Started hidden, the window stays shown where no tray could bring it back.
        QCOMPARE(w->isVisible(), !QSystemTrayIcon::isSystemTrayAvailable());
        QCOMPARE(ini("pairing"), QStringLiteral("0"));        // any phone, as before the setting
        QCOMPARE(ini("webport"), QString::number(taken + 2)); // the fallback is not written
        QCOMPARE(child<QLabel>("labWebPort")->text(),
                 QStringLiteral("网页端口：%1").arg(taken + 13));
        applyPort(port = jwtest::freePortWith({1, 2}));
        QVERIFY(jwtest::Controller(port).connectToHost());
        QCOMPARE(panel()->webPort(), port + 2);
        // The tray's help entry and the window's link open the page on the web port.
        QDesktopServices::setUrlHandler("http", this, "open");
        w->menu_help_click();
        emit child<QLabel>("label_url")->linkActivated(QStringLiteral("/help"));
        const QUrl help(QStringLiteral("http://127.0.0.1:%1/help").arg(port + 2));
        QCOMPARE(opened, (QList<QUrl>{help, help}));
    }
    void cleanupTestCase() { app.reset(); }

    void tableFollowsTheControllers()
    {
        jwtest::Controller a(port), b(port);
        QVERIFY(a.connectToHost() && b.connectToHost());
        QVERIFY(a.send(login("phone-a", QStringLiteral("李四"), "10.1.2.3")));
        QTRY_COMPARE(table->rowCount(), 1);
        QVERIFY(b.send(login("phone-b", "bob", "10.1.2.4")));
        QTRY_COMPARE(table->rowCount(), 2);
        QCOMPARE(row(0), (QStringList{"phone-a", "10.1.2.3", QStringLiteral("李四")}));
        QCOMPARE(row(1), (QStringList{"phone-b", "10.1.2.4", "bob"}));
        QVERIFY(a.send({{"type", "logout"}, {"from", "phone-a"}}));
        QTRY_COMPARE(table->rowCount(), 1);
        QCOMPARE(row(0).first(), QStringLiteral("phone-b"));
        table->selectRow(0); // "断开连接" closes its connection
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
        for (const char* box : {"checkBoxRunTrayIcon", "checkBoxAutoRun", "checkBoxPairing"})
            child<QCheckBox>(box)->setChecked(true);
        PairingGuard& pairing = app->pairingGuard();
        QVERIFY(!pairing.tcpCodeRequired()); // not before the apply
        w->on_btnAplay_clicked();
        QCOMPARE(ini("autofull") + ini("runtray") + ini("pairing"), QStringLiteral("011"));
        QVERIFY(!app->showWindow().autoFull() && pairing.tcpCodeRequired());
        QCOMPARE(access->text(), QStringLiteral("手机连接：只允许输入配对码的手机"));
        const QString program = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
        QCOMPARE(QString::fromStdString(host::ReadAutorunEntry()), program);

        // Switched off, the entry stays with a blank command, hidden.
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

    // Hidden or closed, the window goes only into a tray (one that comes later too).
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

        present = true;
        win.showNormal();
        QVERIFY(!win.close() && !win.isVisible());
        QVERIFY(!line || !line->isVisible());
    }

    void qrCodeCarriesThePageAddress()
    {
        if (QStandardPaths::findExecutable("zbarimg").isEmpty())
            QSKIP("zbarimg (zbar-tools) is not installed");
        w->findChild<QTabWidget*>("tabWidget")->setCurrentWidget(panel());
        w->sl_LocalIp({"192.168.7.9", "10.20.30.40"});
        const QString tail = QStringLiteral(":%1/#%2").arg(port + 2).arg(app->code());
        QCOMPARE(scan(), "http://192.168.7.9" + tail);
        QrCodeLabel* qr = panel()->qrCode();
        const int total = qr->modules() + 2 * QrCodeLabel::kQuietModules;
        QVERIFY2(qMin(qr->width(), qr->height()) / total >= QrCodeLabel::kMinModulePixels,
                 qPrintable(QStringLiteral("%1 px for %2 modules").arg(qr->width()).arg(total)));
        w->findChild<QComboBox*>("comboBoxLocalIp")->setCurrentIndex(1);
        QCOMPARE(scan(), "http://10.20.30.40" + tail);
        w->sl_LocalIp({}); // no address, no code to scan
        QVERIFY(panel()->qrCode()->modules() == 0);
        w->sl_LocalIp({"192.168.7.9"});
    }

    void pageListedAsSeenAndCodeNeverLogged()
    {
        const QString code = app->code();
        const QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws").arg(panel()->webPort()));
        const QString login = QStringLiteral(
            R"({"type":"login","id":"1","from":"phone-w","name":"王五","ip":"6.6.6.6","pwd":"%1"})");
        QWebSocket page, again;
        page.open(url);
        QTRY_COMPARE(page.state(), QAbstractSocket::ConnectedState);
        page.sendTextMessage(login.arg(code));
        QTRY_COMPARE(table->rowCount(), 1);
        QCOMPARE(row(0), (QStringList{"phone-w", "127.0.0.1", QStringLiteral("王五")}));

        // The same phone's page again: the old page goes, the new one stays listed.
        again.open(url);
        QTRY_COMPARE(again.state(), QAbstractSocket::ConnectedState);
        again.sendTextMessage(login.arg(code));
        QTRY_COMPARE(page.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(page.closeCode()), 4000);
        QTest::qWait(200);
        QCOMPARE(table->rowCount(), 1);
        // A page closed by itself stays a while (a reload); one that logs out goes.
        again.sendTextMessage(R"({"type":"logout","id":"2","from":"phone-w"})");
        QTRY_COMPARE(table->rowCount(), 0);

        QString lines; // the reply was logged, without the code
        QTRY_VERIFY((lines = app->logWindow().text()).contains("\"token\":\"******\""));
        QVERIFY(!lines.contains(code));
    }

    // The pause is told from another thread; its end is noticed by the panel alone.
    void pauseShownUntilOver()
    {
        auto* label = panel()->findChild<QLabel*>("labPairingPaused");
        PairingGuard& guard = app->pairingGuard();
        std::thread([&guard] {
            for (int i = 0; i < 21; ++i)
                guard.offer(QStringLiteral("10.0.0.%1").arg(i), "000000");
        }).join();
        QTRY_VERIFY(!label->isHidden());
        const QTime until = QTime::fromString(label->text().section(' ', 1, 1));
        QVERIFY2(until.isValid() && (QTime::currentTime().secsTo(until) + 86400) % 86400 <= 2,
                 qPrintable(label->text())); // says until when: a second ahead
        QTRY_VERIFY_WITH_TIMEOUT(label->isHidden() && label->text().isEmpty(), 5 * kPauseMs);
    }

    // A disconnect clicked while a port change closes the show window with the
    // last controller must not find the registry locked (it dead-locked).
    void portChangeWithADisconnectPending()
    {
        jwtest::Controller a(port);
        QVERIFY(a.connectToHost() && a.send(login("phone-a")));
        QTRY_COMPARE(table->rowCount(), 1);
        app->showWindow().show();
        table->selectRow(0);
        const quint16 next = jwtest::freePortWith({1, 2});
        portField->setText(QString::number(next));
        {
            jwtest::BoxAnswerer answer([this] {
                QMetaObject::invokeMethod(w, &MainWindow::sl_disconnection, Qt::QueuedConnection);
            });
            w->on_btnAplay_clicked();
        }
        QTRY_COMPARE(table->rowCount(), 0);
        QTRY_VERIFY(!app->showWindow().isVisible());
        QVERIFY(a.waitForClose(5000));
        QCOMPARE(ini("port") + ' ' + ini("webport"),
                 QStringLiteral("%1 %2").arg(next).arg(next + 2));
        QVERIFY(panel()->webPort() == next + 2 && jwtest::isListening(next + 2) &&
                !jwtest::isListening(port + 2));
        jwtest::Controller b(next);
        QVERIFY(b.connectToHost() && !b.login("phone-b").isEmpty());
        port = next;
    }

    // A web port set to anything but the service port's neighbour stays where it is;
    // with all five of its ports taken none is served, and the panel knows.
    void ownWebPortStays()
    {
        const quint16 own = jwtest::freePort(), next = jwtest::freePortWith({1, 2});
        const int served = panel()->webPort();
        app->settings().setWebPort(own);
        applyPort(next);
        QCOMPARE(ini("webport"), QString::number(own));
        QCOMPARE(panel()->webPort(), served);
        port = next;
        const quint16 p = jwtest::freePortWith({11, 22, 33, 44});
        std::vector<std::unique_ptr<QTcpServer>> occupiers;
        for (int k = 0; k <= 44; k += 11) {
            occupiers.push_back(std::make_unique<QTcpServer>());
            QVERIFY(occupiers.back()->listen(QHostAddress::Any, quint16(p + k)));
        }
        QVERIFY(!app->listenWeb(p));
        QCOMPARE(panel()->webPort(), 0);
    }

    // A refused port disconnects nobody, with or without a companion to stop for it.
    void failedPortChangeKeepsServingTheOldPort_data()
    {
        QTest::addColumn<bool>("withCompanion");
        QTest::newRow("no companion") << false;
        QTest::newRow("companion running") << true;
    }
    void failedPortChangeKeepsServingTheOldPort()
    {
        QFETCH(bool, withCompanion);
        jwtest::BoxAnswerer answer; // the boxes come from queued state changes
        if (withCompanion) {
            // Under a name of its own: a parallel suite's program kills left-overs.
            const QString standIn = dir.filePath("companion-under-test");
            QVERIFY(QFile::copy(QStringLiteral(JW_BIN_DIR "/JWRCServer_x64"), standIn));
            app->startCompanion(dir.path()); // its command line; no program there
            app->companion().setProgram(standIn);
            // Its start's state changes are through before the refused port is set.
            qRegisterMetaType<QProcess::ProcessState>();
            QSignalSpy states(&app->companion(), &CompanionProcess::stateChanged);
            app->companion().start();
            QVERIFY((companion = jwtest::findCompanion(port, 5000)).pid);
            QTRY_VERIFY(!states.isEmpty() &&
                        states.last().at(0).value<QProcess::ProcessState>() == QProcess::Running);
        }
        jwtest::Controller stays(port);
        QVERIFY(stays.connectToHost() && !stays.login("stays").isEmpty());
        QTRY_COMPARE(table->rowCount(), 1);
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, 0));
        portField->setText(QString::number(occupier.serverPort()));
        w->on_btnAplay_clicked();
        QTRY_COMPARE(answer.texts, (QStringList{"是否确定更改通讯端口并自动重启服务程序?",
                                                "重启服务失败。请重新修改端口号,再启动。"}));
        QCOMPARE(portField->text(), QString::number(port));
        QCOMPARE(ini("port"), QString::number(port));
        QVERIFY(jwtest::Controller(port).connectToHost());
        QVERIFY(!stays.request({{"type", "file.list"}, {"id", "1"}}).isEmpty());
        if (withCompanion) {
            const jwtest::Companion back = jwtest::findCompanion(port, 5000, companion.pid);
            QVERIFY(back.pid);
            QCOMPARE(back.args, companion.args);
            companion = back;
        }
        QCOMPARE(table->rowCount(), 1);
        stays.socket().abort();
        QTRY_COMPARE(table->rowCount(), 0);
    }

    // The companion's next stop tries the field's port again; it restarts on it.
    void portChangeMovesTheCompanion()
    {
        jwtest::BoxAnswerer answer;
        const quint16 next = jwtest::freePortWith({1});
        portField->setText(QString::number(next));
        ::kill(pid_t(companion.pid), SIGKILL);
        jwtest::Companion moved;
        QTRY_VERIFY_WITH_TIMEOUT((moved = jwtest::findCompanion(next)).pid, 5000);
        QStringList expected = companion.args;
        expected[2] = QString::number(next + 1);
        expected[6] = QString::number(next);
        QCOMPARE(moved.args, expected);
        QCOMPARE(ini("port"), QString::number(next));
        QTRY_VERIFY(jwtest::findCompanion(port).pid == 0);
        QVERIFY(jwtest::Controller(next).connectToHost());
        QVERIFY(answer.texts.isEmpty());
        port = next;
    }

    // A companion that stops or cannot start is restarted after 0, 0.5, 1, 2 s ...
    void companionRestartsBackOff_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("exits at once") << QStringLiteral("/bin/false");
        QTest::newRow("missing") << dir.path() + "/no-such-companion";
    }
    void companionRestartsBackOff()
    {
        QFETCH(QString, program);
        CompanionProcess& c = app->companion();
        c.setProgram(program);
        int starts = 0;
        const auto counting = connect(&c, &CompanionProcess::stateChanged, this,
                                      [&starts](auto s) { starts += s == QProcess::Starting; });
        c.restart(true); // forgets the stops before
        QTest::qWait(2500);
        disconnect(counting);
        QVERIFY2(starts >= 3 && starts <= 5, qPrintable(QString::number(starts)));
    }

    // English texts for an English user; the window titles stay (they identify it).
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
        QCOMPARE((QStringList{w.findChild<QCheckBox*>("checkBoxPairing")->text(),
                              tabs->tabText(tabs->count() - 1),
                              w.trayIcon()->contextMenu()->actions().last()->text()}),
                 texts);
        QCOMPARE(w.windowTitle(), QStringLiteral("Tovanel - 被控端"));
        QCoreApplication::removeTranslator(&translator);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

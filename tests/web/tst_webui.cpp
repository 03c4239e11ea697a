// The browser remote as the main window shows it, in-process over the real
// servers: the QR code read back by a QR reader, the web port beside the service
// port (its default, its fallback, following a port change), a page listed with
// the address it is seen from, the pairing code kept out of the log, and a pause
// of pairing shown until it is over.

#include "app/application.h"
#include "base/jwlog.h"
#include "boxanswerer.h"
#include "jwinstance.h"
#include "ui/qrcodelabel.h"
#include "ui/webremotepanel.h"

#include <QStandardPaths>
#include <QTcpServer>
#include <QWebSocket>
#include <QtTest>
#include <QtWidgets>
#include <thread>

class TestWebUi : public QObject
{
    Q_OBJECT
    // A pause of pairing lasts this long here (a minute in the program).
    static constexpr qint64 kPauseMs = 300;
    QTemporaryDir dir;
    std::unique_ptr<Application> app;
    MainWindow* w = nullptr;
    quint16 port = 0;
    QString code;

    QString ini(const char* key)
    {
        return QSettings(app->settings().path(), QSettings::IniFormat)
            .value(QStringLiteral("config/") + key)
            .toString();
    }
    WebRemotePanel* panel() { return w->webRemotePanel(); }
    // What a QR reader makes of the code on the screen.
    QString scan()
    {
        const QString zbar = QStandardPaths::findExecutable("zbarimg");
        if (zbar.isEmpty())
            return QStringLiteral("(zbarimg missing)");
        const QString png = dir.filePath("qr.png");
        panel()->qrCode()->grab().save(png);
        QProcess p;
        p.start(zbar, {"--raw", "-q", png});
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    // Answers the port change's question with yes.
    void applyPort(quint16 newPort)
    {
        w->findChild<QLineEdit*>("lineEditPort")->setText(QString::number(newPort));
        jwtest::BoxAnswerer answer;
        w->on_btnAplay_clicked();
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("zbarimg").isEmpty())
            QSKIP("zbarimg (zbar-tools) is not installed");
        qputenv("JWSHOW_DATA_DIR", dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        g_debugMode = true; // the log file and the log window's lines
        JWLOG::log_init(dir.path());
        JWLOG::log_open();
        port = jwtest::freePortWith({1, 2});
        QSettings(dir.path() + "/app.ini", QSettings::IniFormat)
            .setValue("config/port", QString::number(port));
        app = std::make_unique<Application>(true, kPauseMs);
        w = &app->mainWindow();
        code = app->code();
        app->start();
        // The dispatcher's first address list reaches the window before the tests
        // choose addresses of their own.
        QTest::qWait(300);
        QTRY_COMPARE(app->server().dispatcher().GuiBacklog(), 0);
        QCOMPARE(ini("webport"), QString::number(port + 2));
        QCOMPARE(panel()->webPort(), port + 2);
        QCOMPARE(w->findChild<QLabel*>("labWebPort")->text(),
                 QStringLiteral("网页端口：%1").arg(port + 2));
        auto* tabs = w->findChild<QTabWidget*>("tabWidget");
        tabs->setCurrentWidget(panel());
        w->show();
    }
    void cleanupTestCase() { app.reset(); }

    void qrCodeCarriesThePageAddress()
    {
        w->sl_LocalIp({"192.168.7.9", "10.20.30.40"});
        const QString first = QStringLiteral("http://192.168.7.9:%1/#%2").arg(port + 2).arg(code);
        QCOMPARE(scan(), first);
        QrCodeLabel* qr = panel()->qrCode();
        const int total = qr->modules() + 2 * QrCodeLabel::kQuietModules;
        QVERIFY2(qMin(qr->width(), qr->height()) / total >= QrCodeLabel::kMinModulePixels,
                 qPrintable(QStringLiteral("%1 px for %2 modules").arg(qr->width()).arg(total)));
        // Choosing another address in the list changes the code.
        w->findChild<QComboBox*>("comboBoxLocalIp")->setCurrentIndex(1);
        QCOMPARE(scan(), QStringLiteral("http://10.20.30.40:%1/#%2").arg(port + 2).arg(code));
        // No address, no code to scan.
        w->sl_LocalIp({});
        QVERIFY(panel()->qrCode()->modules() == 0);
        w->sl_LocalIp({"192.168.7.9"});
    }

    void pageListedAsSeenAndCodeNeverLogged()
    {
        auto* table = w->findChild<QTableWidget*>("tableWidget");
        const QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws").arg(panel()->webPort()));
        const QString login = QStringLiteral(
            R"({"type":"login","id":"1","from":"phone-w","name":"王五","ip":"6.6.6.6","pwd":"%1"})");
        QWebSocket page, again;
        QStringList got;
        connect(&page, &QWebSocket::textMessageReceived, [&](const QString& t) { got << t; });
        connect(&again, &QWebSocket::textMessageReceived, [&](const QString& t) { got << t; });
        page.open(url);
        QTRY_COMPARE(page.state(), QAbstractSocket::ConnectedState);
        page.sendTextMessage(login.arg(code));
        QTRY_COMPARE(got.size(), 1);
        QVERIFY(got.first().contains(code)); // the reply's token, like TCP's
        QTRY_COMPARE(table->rowCount(), 1);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("phone-w"));
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("王五"));

        // The same phone again (its page reconnected before the old connection was
        // noticed gone): the old page goes, the new one stays listed.
        again.open(url);
        QTRY_COMPARE(again.state(), QAbstractSocket::ConnectedState);
        again.sendTextMessage(login.arg(code));
        QTRY_COMPARE(page.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(page.closeCode()), 4000);
        QTRY_COMPARE(got.size(), 2);
        QTest::qWait(200);
        QCOMPARE(table->rowCount(), 1);
        // A page closed by itself stays a while (a reload); one that logs out goes.
        again.sendTextMessage(R"({"type":"logout","id":"2","from":"phone-w"})");
        QTRY_COMPARE(table->rowCount(), 0);

        QString lines;
        QTRY_VERIFY((lines = app->logWindow().text()).contains("\"token\":\"******\""));
        // the reply was logged...
        QVERIFY(!lines.contains(code)); // ...without the code
        QFile log(dir.filePath("jwshowApp.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.contains("login-from:phone-w"));
        QVERIFY(!text.contains(code.toUtf8()));
    }

    void webPortFollowsTheServicePort()
    {
        const quint16 next = jwtest::freePortWith({1, 2});
        applyPort(next);
        QCOMPARE(ini("port"), QString::number(next));
        QCOMPARE(ini("webport"), QString::number(next + 2));
        QCOMPARE(panel()->webPort(), next + 2);
        QVERIFY(jwtest::isListening(next + 2) && !jwtest::isListening(port + 2));
        const QString address = w->findChild<QComboBox*>("comboBoxLocalIp")->currentText();
        QCOMPARE(scan(), QStringLiteral("http://%1:%2/#%3").arg(address).arg(next + 2).arg(code));
        // A web port set to anything else stays where it is.
        const quint16 own = jwtest::freePort();
        app->settings().setWebPort(own);
        const quint16 third = jwtest::freePortWith({1, 2});
        applyPort(third);
        QCOMPARE(ini("webport"), QString::number(own));
        QCOMPARE(panel()->webPort(), next + 2);
        port = third;
    }

    void takenWebPortFallsBack_data()
    {
        QTest::addColumn<int>("taken");  // candidates occupied: p, p+11, ...
        QTest::addColumn<int>("served"); // offset served from p, -1: none
        QTest::newRow("free") << 0 << 0;
        QTest::newRow("first taken") << 1 << 11;
        QTest::newRow("three taken") << 3 << 33;
        QTest::newRow("all five taken") << 5 << -1;
    }
    void takenWebPortFallsBack()
    {
        QFETCH(int, taken);
        QFETCH(int, served);
        const quint16 p = jwtest::freePortWith({11, 22, 33, 44});
        const int configured = app->settings().webPort();
        std::vector<std::unique_ptr<QTcpServer>> occupiers;
        for (int k = 0; k < taken; ++k) {
            occupiers.push_back(std::make_unique<QTcpServer>());
            QVERIFY(occupiers.back()->listen(QHostAddress::Any, quint16(p + 11 * k)));
        }
        QSignalSpy announced(panel(), &WebRemotePanel::webPortChanged);
        app->listenWeb(p);
        QCOMPARE(app->webPort(), served < 0 ? 0 : p + served);
        QCOMPARE(panel()->webPort(), app->webPort());
        QCOMPARE(announced.value(0).value(0).toInt(), app->webPort());
        QCOMPARE(app->settings().webPort(), configured); // not rewritten
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
        QCOMPARE(label->text(), QStringLiteral("配对已暂停，至 %1 恢复（一分钟内错误的配对码过多）")
                                    .arg(until.toString()));
        QVERIFY((QTime::currentTime().secsTo(until) + 86400) % 86400 <= 2); // a second ahead
        QTRY_VERIFY_WITH_TIMEOUT(label->isHidden() && label->text().isEmpty(), 5 * kPauseMs);
    }
};

QTEST_MAIN(TestWebUi)
#include "tst_webui.moc"

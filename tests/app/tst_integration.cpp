// The real socket server and dispatcher behind a real main window: start-up
// settings, a controller logging in and out, and a port change that re-binds.
#include "app/appglobals.h"
#include "app/jwlog.h"
#include "jwinstance.h"
#include "server/jwshowservice.h"
#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

namespace
{

void onNextMessageBox(std::function<void(QMessageBox*)> act)
{
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(box);
        }
    });
    timer->start();
}

void clickButton(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* b : box->buttons())
        if (b->text() == text)
            return b->click();
    box->reject();
}

// Logs in on its own connection; the reply is read so the login has been handled.
bool login(QTcpSocket& s, quint16 port, const QString& from, const QString& name, const QString& ip)
{
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return false;
    const QJsonObject packet{{"type", "login"}, {"id", "1"}, {"from", from},
                             {"name", name},    {"ip", ip},  {"pwd", "pw"}};
    s.write(QJsonDocument(packet).toJson(QJsonDocument::Compact));
    return s.waitForBytesWritten(5000);
}

} // namespace

class TestIntegration : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> w;
    quint16 port = 0;

    template <typename T> T* child(const char* name) { return w->findChild<T*>(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qputenv("JWSHOW_DATA_DIR", (dir.path() + "/data").toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        QDir().mkpath(dir.path() + "/data");
        QDir().mkpath(dir.path() + "/config/autostart");
        QFile entry(dir.path() + "/config/autostart/TOVANEL.desktop");
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nExec=" + QCoreApplication::applicationFilePath().toUtf8() +
                    "\n");
        entry.close();

        port = jwtest::freePortWith({1});
        QVERIFY(port);
        WriteConfig("config", "port", QString::number(port), dir.path() + "/data/app.ini");

        w = std::make_unique<MainWindow>();
        g_mainWindow = w.get();
        w->InitConnect();
        w->InitSet();
        w->InitTableWidget();
    }

    void cleanupTestCase()
    {
        JWShowService::Terminate();
        g_mainWindow = nullptr;
        w.reset();
    }

    void startUpCompletesTheSettings()
    {
        const QString ini = dir.path() + "/data/app.ini";
        QCOMPARE(ReadConfig("config", "port", ini), QString::number(port));
        QCOMPARE(ReadConfig("config", "runtray", ini), QStringLiteral("0"));
        QCOMPARE(ReadConfig("config", "autofull", ini), QStringLiteral("1"));
        QCOMPARE(g_port, int(port));
        QCOMPARE(g_rcPort.load(), int(port) + 1);
        QCOMPARE(g_auth.size(), 6);
        QVERIFY(g_autoFull);
        QVERIFY(w->isVisible());
        QCOMPARE(child<QLineEdit>("lineEditPort")->text(), QString::number(port));
        QCOMPARE(child<QLabel>("labPort")->text(), QString::number(port));
        QVERIFY(child<QCheckBox>("checkBoxFullScreen")->isChecked());
        QVERIFY(!child<QCheckBox>("checkBoxRunTrayIcon")->isChecked());
        QVERIFY(child<QCheckBox>("checkBoxAutoRun")->isChecked()); // Exec names this program
        QVERIFY(jwtest::isListening(port));
    }

    void controllersAppearAndLeave()
    {
        auto* table = child<QTableWidget>("tableWidget");
        QTcpSocket a, b;
        QVERIFY(login(a, port, "phone-a", QStringLiteral("李四"), "10.1.2.3"));
        QTRY_COMPARE(table->rowCount(), 1);
        QVERIFY(login(b, port, "phone-b", "bob", "10.1.2.4"));
        QTRY_COMPARE(table->rowCount(), 2);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("phone-a"));
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("10.1.2.3"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("李四"));
        QCOMPARE(table->item(1, 0)->text(), QStringLiteral("phone-b"));

        a.write(QJsonDocument(QJsonObject{{"type", "logout"}, {"id", "2"}, {"from", "phone-a"}})
                    .toJson(QJsonDocument::Compact));
        QVERIFY(a.waitForBytesWritten(5000));
        QTRY_COMPARE(table->rowCount(), 1);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("phone-b"));

        // "断开连接" on the remaining row closes its connection; the row goes when
        // the server notices.
        table->selectRow(0);
        w->sl_disconnection();
        QTRY_COMPARE(table->rowCount(), 0);
        QTRY_VERIFY(b.state() == QAbstractSocket::UnconnectedState || b.waitForDisconnected(100));
    }

    void confirmedPortChangeRebinds()
    {
        const quint16 newPort = jwtest::freePortWith({1});
        QVERIFY(newPort && newPort != port);
        child<QLineEdit>("lineEditPort")->setText(QString::number(newPort));
        onNextMessageBox([](QMessageBox* box) { clickButton(box, QStringLiteral("确定")); });
        w->on_btnAplay_clicked();
        QCOMPARE(g_port, int(newPort));
        QCOMPARE(g_rcPort.load(), int(newPort) + 1);
        QCOMPARE(ReadConfig("config", "port", dir.path() + "/data/app.ini"),
                 QString::number(newPort));
        QTRY_VERIFY(jwtest::isListening(newPort));
        QVERIFY(!jwtest::isListening(port));
        port = newPort;
    }

    void failedPortChangeKeepsServingTheOldPort()
    {
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, 0));
        const quint16 taken = occupier.serverPort();
        child<QLineEdit>("lineEditPort")->setText(QString::number(taken));
        QString failure;
        onNextMessageBox([&](QMessageBox* box) {
            clickButton(box, QStringLiteral("确定"));
            onNextMessageBox([&](QMessageBox* info) {
                failure = info->text();
                clickButton(info, QStringLiteral("确定"));
            });
        });
        w->on_btnAplay_clicked();
        QCOMPARE(failure, QStringLiteral("重启服务失败。请重新修改端口号,再启动。"));
        QCOMPARE(child<QLineEdit>("lineEditPort")->text(), QString::number(port));
        QCOMPARE(g_port, int(port));
        QCOMPARE(ReadConfig("config", "port", dir.path() + "/data/app.ini"), QString::number(port));
        QVERIFY(jwtest::isListening(port));

        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(s.waitForConnected(5000));
        QTRY_VERIFY(s.bytesAvailable() > 0 || s.waitForReadyRead(200));
        QVERIFY(s.readAll().startsWith("jwshow-1.0.4.111-"));
    }
};

QTEST_MAIN(TestIntegration)
#include "tst_integration.moc"

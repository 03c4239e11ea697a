// The settings window in-process: its form, the controller table, the address
// list, the port field, the apply button and the message boxes.
#include "app/appglobals.h"
#include "app/jwlog.h"
#include "ui/autorunentry.h"
#include "ui/jwlogui.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>
#include <functional>

namespace
{

// Runs `act` on the next modal box to come up (from inside its own event loop).
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

QAbstractButton* buttonWithText(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* b : box->buttons())
        if (b->text() == text)
            return b;
    return nullptr;
}

QStringList rowOf(QTableWidget* t, int row)
{
    QStringList out;
    for (int c = 0; c < t->columnCount(); ++c)
        out << (t->item(row, c) ? t->item(row, c)->text() : QString());
    return out;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir dataDir;
    std::unique_ptr<MainWindow> w;

    template <typename T> T* child(const char* name)
    {
        T* c = w->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no child %s", name);
        return c;
    }

private slots:
    void initTestCase()
    {
        qputenv("JWSHOW_DATA_DIR", dataDir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (dataDir.path() + "/config").toUtf8());
    }

    void init()
    {
        w = std::make_unique<MainWindow>();
        g_mainWindow = w.get();
        w->InitConnect();
        w->InitTableWidget();
    }

    void cleanup()
    {
        g_mainWindow = nullptr;
        w.reset();
        g_debugMode = false;
        QFile::remove(dataDir.path() + "/app.ini");
    }

    void formAsDesigned()
    {
        QCOMPARE(w->windowTitle(), QStringLiteral("Tovanel - 被控端"));
        QCOMPARE(w->minimumSize(), QSize(530, 348));
        QCOMPARE(w->maximumSize(), QSize(530, 348));
        auto* tabs = child<QTabWidget>("tabWidget");
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(tabs->tabText(0), QStringLiteral("常规"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("设置"));
        QCOMPARE(child<QCheckBox>("checkBoxFullScreen")->text(), QStringLiteral("是否自动全屏 "));
        QCOMPARE(child<QPushButton>("btnAplay")->text(), QStringLiteral("应用"));
        QCOMPARE(child<QLineEdit>("lineEditPort")->geometry(), QRect(50, 60, 113, 20));
        QVERIFY(child<QLabel>("label_Prompt")->isHidden());
        QVERIFY(!child<QLabel>("labellogo")->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(w->settingsPath(), dataDir.path() + "/app.ini");

        auto* table = child<QTableWidget>("tableWidget");
        QCOMPARE(table->columnCount(), 3);
        QCOMPARE(table->rowCount(), 0);
        QCOMPARE(table->horizontalHeaderItem(0)->text(), QStringLiteral("ID"));
        QCOMPARE(table->horizontalHeaderItem(1)->text(), QStringLiteral("IP"));
        QCOMPARE(table->horizontalHeaderItem(2)->text(), QStringLiteral("用户名"));
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(table->contextMenuPolicy(), Qt::CustomContextMenu);

        QVERIFY(!g_computerName.isEmpty());
        QCOMPARE(child<QLabel>("labComputerName")->text(), g_computerName);
        QVERIFY(child<QLabel>("label_url")
                    ->text()
                    .contains(QStringLiteral("href=\"") + g_helpUrl + "\""));
    }

    void tableFollowsTheControllers()
    {
        auto* table = child<QTableWidget>("tableWidget");
        // Through the signals, as the worker threads reach the window.
        emit w->msg_addUser("phone-a", QStringLiteral("张三"), "10.0.0.7");
        emit w->msg_addUser("phone-b", "bob", "10.0.0.8");
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(rowOf(table, 0), (QStringList{"phone-a", "10.0.0.7", QStringLiteral("张三")}));
        QCOMPARE(rowOf(table, 1), (QStringList{"phone-b", "10.0.0.8", "bob"}));

        w->RemoveUser("unknown");
        QCOMPARE(table->rowCount(), 2);
        emit w->msg_removeUser("phone-a");
        QCOMPARE(table->rowCount(), 1);
        QCOMPARE(rowOf(table, 0), (QStringList{"phone-b", "10.0.0.8", "bob"}));
        w->RemoveUser("phone-b");
        QCOMPARE(table->rowCount(), 0);
    }

    void addressListIsReplaced()
    {
        auto* combo = child<QComboBox>("comboBoxLocalIp");
        emit w->msg_localIp({"192.168.1.5", "10.0.0.2"});
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QStringLiteral("192.168.1.5"));
        QCOMPARE(combo->itemText(1), QStringLiteral("10.0.0.2"));
        emit w->msg_localIpChanged({"172.16.0.9"});
        QCOMPARE(combo->count(), 1);
        QCOMPARE(combo->itemText(0), QStringLiteral("172.16.0.9"));
    }

    void portFieldTakesDigitsOnly()
    {
        auto* edit = child<QLineEdit>("lineEditPort");
        auto* label = child<QLabel>("labPort");
        QTest::keyClicks(edit, "6a0b0-0 ");
        QCOMPARE(edit->text(), QStringLiteral("6000"));
        QCOMPARE(label->text(), QStringLiteral("6000"));
        edit->clear();
        QCOMPARE(label->text(), QStringLiteral("6000")); // an empty field leaves the label
    }

    void applyWritesTheOptions()
    {
        const QString ini = w->settingsPath();
        g_port = 47001;
        child<QLineEdit>("lineEditPort")->setText("47001");
        child<QCheckBox>("checkBoxFullScreen")->setChecked(false);
        child<QCheckBox>("checkBoxRunTrayIcon")->setChecked(false);
        g_autoFull = true;
        w->on_btnAplay_clicked(); // same port: no question
        QCOMPARE(ReadConfig("config", "autofull", ini), QStringLiteral("0"));
        QCOMPARE(ReadConfig("config", "runtray", ini), QStringLiteral("0"));
        QCOMPARE(g_autoFull, false);
        QVERIFY(child<QLabel>("label_Prompt")->isHidden()); // no prompt outside debug mode

        child<QCheckBox>("checkBoxFullScreen")->setChecked(true);
        child<QCheckBox>("checkBoxRunTrayIcon")->setChecked(true);
        g_debugMode = true;
        w->show();
        QTest::mouseClick(child<QPushButton>("btnAplay"), Qt::LeftButton);
        QCOMPARE(ReadConfig("config", "autofull", ini), QStringLiteral("1"));
        QCOMPARE(ReadConfig("config", "runtray", ini), QStringLiteral("1"));
        QCOMPARE(g_autoFull, true);
        auto* prompt = child<QLabel>("label_Prompt");
        QVERIFY(!prompt->isHidden()); // on the second tab, so not on screen here
        QCOMPARE(prompt->text(), QStringLiteral("应用成功"));
        QTRY_VERIFY(prompt->isHidden());
        QCOMPARE(prompt->text(), QString());
    }

    void emptyPortAsksAndSavesNothing()
    {
        const QString ini = w->settingsPath();
        child<QLineEdit>("lineEditPort")->clear();
        QString asked;
        onNextMessageBox([&](QMessageBox* box) {
            asked = box->windowTitle() + "|" + box->text();
            box->reject();
        });
        w->on_btnAplay_clicked();
        QCOMPARE(asked, QStringLiteral("系统消息|端口号不能为空。请输入"));
        QCOMPARE(ReadConfig("config", "autofull", ini), QString());
        QCOMPARE(ReadConfig("config", "runtray", ini), QString());
    }

    void refusedPortChangePutsTheOldPortBack()
    {
        g_port = 47002;
        auto* edit = child<QLineEdit>("lineEditPort");
        edit->setText("47100");
        QString asked;
        onNextMessageBox([&](QMessageBox* box) {
            asked = box->text();
            buttonWithText(box, QStringLiteral("取消"))->click();
        });
        w->on_btnAplay_clicked();
        QCOMPARE(asked, QStringLiteral("是否确定更改通讯端口并自动重启服务程序?"));
        QCOMPARE(edit->text(), QStringLiteral("47002"));
        QCOMPARE(g_port, 47002);
        QCOMPARE(ReadConfig("config", "port", w->settingsPath()), QString());
        QCOMPARE(ReadConfig("config", "autofull", w->settingsPath()).size(), 1); // still applied
    }

    void askQuestionIsTrueOnlyForOk()
    {
        QStringList buttons;
        onNextMessageBox([&](QMessageBox* box) {
            for (QAbstractButton* b : box->buttons()) {
                buttons << b->text();
                QCOMPARE(box->buttonRole(b), QMessageBox::ActionRole);
            }
            buttonWithText(box, QStringLiteral("确定"))->click();
        });
        QVERIFY(AskQuestion("系统消息", "q"));
        QCOMPARE(buttons, (QStringList{QStringLiteral("确定"), QStringLiteral("取消")}));

        onNextMessageBox([](QMessageBox* box) { box->close(); });
        QVERIFY(!AskQuestion("系统消息", "q"));
        onNextMessageBox([](QMessageBox* box) { box->reject(); });
        QVERIFY(!AskQuestion("系统消息", "q"));
        onNextMessageBox([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
        QVERIFY(!AskQuestion("系统消息", "q"));

        QMessageBox::Icon icon = QMessageBox::NoIcon;
        onNextMessageBox([&](QMessageBox* box) {
            icon = box->icon();
            box->buttons().first()->click();
        });
        ShowInformation("系统消息", "i");
        QCOMPARE(icon, QMessageBox::Information);
    }

    void closeButtonOnlyHides()
    {
        w->show();
        QVERIFY(w->isVisible());
        g_hideOnClose = true;
        QVERIFY(!w->close());
        QVERIFY(!w->isVisible());
        g_hideOnClose = false;
        w->show();
        QVERIFY(w->close());
        g_hideOnClose = true;
    }

    void settingDefaultsAreWrittenBack()
    {
        const QString ini = w->settingsPath();
        WriteConfig("config", "port", "", ini);
        QCOMPARE(MainWindow::ReadConfigOrDefault("port", "5555", ini), QStringLiteral("5555"));
        QCOMPARE(ReadConfig("config", "port", ini), QStringLiteral("5555"));
        WriteConfig("config", "port", "6001", ini);
        QCOMPARE(MainWindow::ReadConfigOrDefault("port", "5555", ini), QStringLiteral("6001"));
    }

    void autorunEntryIsRead()
    {
        QCOMPARE(readAutorunPath(), QString());
        QDir().mkpath(dataDir.path() + "/config/autostart");
        QFile f(autorunEntryPath());
        QCOMPARE(f.fileName(), dataDir.path() + "/config/autostart/TOVANEL.desktop");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Desktop Entry]\nType=Application\nExec= \nHidden=true\n");
        f.close();
        QCOMPARE(readAutorunPath(), QStringLiteral(" "));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[Desktop Entry]\nExec=/opt/jw show/jwshow\n");
        f.close();
        QCOMPARE(readAutorunPath(), QStringLiteral("/opt/jw show/jwshow"));
        QFile::remove(f.fileName());
    }

    void logWindow()
    {
        JWLOGUI log;
        QCOMPARE(log.objectName(), QStringLiteral("JWLOGUI"));
        QCOMPARE(log.windowTitle(), QStringLiteral("logger"));
        QCOMPARE(log.size(), QSize(726, 410));
        QVERIFY(log.findChild<QTextEdit*>("textEditLog"));
        QVERIFY(log.findChild<QGridLayout*>("gridLayout"));

        g_debugMode = false;
        emit log.msg_writelog("quiet");
        QCOMPARE(log.text(), QString());

        g_debugMode = true;
        g_logUi = &log;
        WriteLogWindow("<<<:{\"type\":\"login\"}");
        g_logUi = nullptr;
        const QString line = log.text();
        const QRegularExpression re(
            QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d):(\\d{2,4}):<<<:\\{\"type\":\"login\"\\}$"));
        const QRegularExpressionMatch m = re.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        // ":ms" repeats minute and second without leading zeros.
        QCOMPARE(m.captured(4),
                 QString::number(m.captured(2).toInt()) + QString::number(m.captured(3).toInt()));

        log.show();
        QVERIFY(!log.close());
        QVERIFY(log.isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

// The controller registry: who is listed, and what the last one leaving closes.

#include "servertestutil.h"

#include "app/appglobals.h"
#include "jwpaint/paintviewmanage.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "show/jwshowui.h"
#include "ui/mainwindow.h"

#include <QSignalSpy>

class TestServerRegistry : public QObject
{
    Q_OBJECT

    MainWindow* mw = nullptr;
    JWShowUi* show = nullptr;
    paintViewManage* pv = nullptr;

    static ControllerInfo info(const QString& id, SOCKET s, const QString& name = "n")
    {
        ControllerInfo c;
        c.id = id;
        c.name = name;
        c.ip = "10.0.0." + QString::number(s);
        c.pwd = "";
        c.sock = s;
        return c;
    }

private slots:
    void initTestCase()
    {
        mw = new MainWindow;
        show = new JWShowUi;
        pv = new paintViewManage;
        g_mainWindow = mw;
        g_showUi = show;
        g_paintViewManage = pv;
    }

    void cleanupTestCase()
    {
        g_mainWindow = nullptr;
        g_showUi = nullptr;
        g_paintViewManage = nullptr;
        delete pv;
        delete show;
        delete mw;
    }

    void cleanup() { JwUserManage::GetInstance()->RemoveAllUsers(); }

    void duplicateLoginKeepsTheFirstConnection()
    {
        auto* um = JwUserManage::GetInstance();
        QSignalSpy added(mw, &MainWindow::msg_addUser);
        QSignalSpy removed(mw, &MainWindow::msg_removeUser);
        QSignalSpy ended(pv, &paintViewManage::msg_endWhiteboard);
        QSignalSpy closed(show, &JWShowUi::msg_close);

        um->AddUser(info("phone", 11, "first"));
        um->AddUser(info("phone", 12, "second")); // same from, another connection
        QCOMPARE(added.size(), 1);
        QCOMPARE(added.at(0), QVariantList({"phone", "first", "10.0.0.11"}));
        QCOMPARE(um->GetUserById("phone").sock, SOCKET(11));
        QCOMPARE(um->Count(), 1);

        um->RemoveUserBySocket(12); // the second connection closes: nothing
        QCOMPARE(removed.size(), 0);
        QCOMPARE(um->Count(), 1);

        um->RemoveUserBySocket(11); // the registered one: gone, and it was the last
        QCOMPARE(removed.size(), 1);
        QCOMPARE(removed.at(0).at(0).toString(), QString("phone"));
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.at(0).at(0).toString(), QString("phone"));
        QCOMPARE(closed.size(), 1);
        QCOMPARE(um->GetUserById("phone").sock, SOCKET(0));
        QCOMPARE(um->GetUserById("phone").id, QString());
    }

    void onlyTheLastLeavingClosesTheShow()
    {
        auto* um = JwUserManage::GetInstance();
        um->AddUser(info("a", 21));
        um->AddUser(info("b", 22));
        QSignalSpy removed(mw, &MainWindow::msg_removeUser);
        QSignalSpy ended(pv, &paintViewManage::msg_endWhiteboard);
        QSignalSpy closed(show, &JWShowUi::msg_close);

        um->RemoveUserById("nobody");
        um->RemoveUserBySocket(99);
        QCOMPARE(removed.size(), 0);

        um->RemoveUserById("b");
        QCOMPARE(removed.size(), 1);
        QCOMPARE(closed.size(), 0);
        QCOMPARE(ended.size(), 0);

        um->RemoveUserById("a");
        QCOMPARE(removed.size(), 2);
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.at(0).at(0).toString(), QString("a"));
        QCOMPARE(closed.size(), 1);
        QCOMPARE(um->Count(), 0);
    }

    void removeAllClosesTheShowOnly()
    {
        auto* um = JwUserManage::GetInstance();
        um->AddUser(info("z", 31));
        um->AddUser(info("m", 32));
        QSignalSpy removed(mw, &MainWindow::msg_removeUser);
        QSignalSpy ended(pv, &paintViewManage::msg_endWhiteboard);
        QSignalSpy closed(show, &JWShowUi::msg_close);
        um->RemoveAllUsers();
        QCOMPARE(removed.size(), 2);
        QCOMPARE(removed.at(0).at(0).toString(), QString("m")); // id order
        QCOMPARE(removed.at(1).at(0).toString(), QString("z"));
        QCOMPARE(ended.size(), 0);
        QCOMPARE(closed.size(), 1);
        QCOMPARE(um->Count(), 0);

        um->RemoveAllUsers(); // empty: nothing more
        QCOMPARE(closed.size(), 1);
    }

    void closeUnknownIdDoesNothing()
    {
        auto* um = JwUserManage::GetInstance();
        um->AddUser(info("k", 41));
        QSignalSpy removed(mw, &MainWindow::msg_removeUser);
        um->CloseUserById("unknown");
        um->CloseUserById("k"); // no such connection in the server: the entry stays
        QCOMPARE(removed.size(), 0);
        QCOMPARE(um->Count(), 1);
    }
};

JW_SERVER_TEST_MAIN(TestServerRegistry)
#include "tst_server_registry.moc"

#include "server/jwdatamanage.h"

#include "app/appglobals.h"
#include "app/jwlog.h"
#include "file/jwfile.h"
#include "host/pointer.h"
#include "jwpaint/paintviewmanage.h"
#include "server/jwdebug.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "protocol/packetfields.h"
#include "protocol/protocol.h"
#include "show/jwshowui.h"
#include "show/showimagerect.h"
#include "ui/mainwindow.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <algorithm>
#include <exception>
#include <mutex>

Q_LOGGING_CATEGORY(lcJwShow, "jwshow")

using namespace packetfields;

namespace
{
// The address list is read again after this much time without any packet.
constexpr int kAddressCheckMs = 15000;
std::atomic<JWdataManage*> s_instance{nullptr};

// The packet's x and y (JSON numbers; anything else counts as 0) mapped onto the
// shown picture, for the pointer and the whiteboard alike.
QPoint packetPoint(const QJsonObject& obj)
{
    return MapImagePoint(obj.value(QLatin1String(proto::kX)).toDouble(0),
                         obj.value(QLatin1String(proto::kY)).toDouble(0));
}
} // namespace

struct JWdataManage::Private {
    QList<JwMess> queue;
    std::atomic<qint64> queuedChars{0}; // text waiting in queue
    QMutex queueLock;
    QWaitCondition arrived;
    std::atomic<bool> running{true};
    QStringList knownIps;
    QStringList latestIps;
};

JWdataManage* JWdataManage::GetInstance()
{
    static std::once_flag once;
    // Never destroyed, like the socket server: the thread may run until exit.
    std::call_once(once, [] { s_instance = new JWdataManage; });
    return s_instance;
}

JWdataManage::JWdataManage() : d(new Private) {}

JWdataManage::~JWdataManage()
{
    Stop();
    wait();
    delete d;
}

void JWdataManage::AddData(const JwMess& m)
{
    qCDebug(lcJwShow) << "add data:";
    if (m.data.isEmpty())
        return;
    QMutexLocker l(&d->queueLock);
    d->queue.append(m);
    d->queuedChars += m.data.size();
    d->arrived.wakeOne();
}

bool JWdataManage::Backlogged() const
{
    return d->queuedChars > kMaxQueuedChars;
}

void JWdataManage::Stop()
{
    d->running = false;
    {
        QMutexLocker l(&d->queueLock);
        d->arrived.wakeAll();
    }
    if (QThread::currentThread() != this)
        wait(100);
}

void JWdataManage::run()
{
    qCDebug(lcJwShow) << " data deal run:";
    d->knownIps = GetLocalIpAddress();
    if (g_mainWindow)
        emit g_mainWindow->msg_localIp(d->knownIps);

    QElapsedTimer sinceCheck;
    sinceCheck.start();
    while (d->running) {
        JwMess m;
        bool got = false;
        {
            QMutexLocker l(&d->queueLock);
            if (d->queue.isEmpty() && d->running) {
                const qint64 left = qMax<qint64>(1, kAddressCheckMs - sinceCheck.elapsed());
                d->arrived.wait(&d->queueLock, QDeadlineTimer(left));
            }
            if (!d->queue.isEmpty()) {
                m = d->queue.takeFirst();
                d->queuedChars -= m.data.size();
                got = true;
                qCDebug(lcJwShow) << "=======task count:" << d->queue.size();
            }
        }
        if (!got) {
            if (d->running && sinceCheck.elapsed() >= kAddressCheckMs) {
                CheckLocalIpChange();
                sinceCheck.restart();
            }
            continue;
        }
        try {
            HandleText(m.data, m.sock);
        } catch (...) {
            JWLOG::debug("try catch error:");
        }
    }
}

void JWdataManage::HandleText(const QString& text, SOCKET sock)
{
    WriteLogWindow("<<<:" + text);

    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError) {
        JWLOG::error("JSON package error:");
        qCDebug(lcJwShow) << "error:JSON package error:";
        return;
    }
    if (!doc.isObject()) {
        JWLOG::warning("this pack not JSON object");
        qCDebug(lcJwShow) << "error:this pack not JSON object";
        return;
    }
    const QJsonObject obj = doc.object();
    auto str = [&obj](const char* key) { return stringField(obj.value(QLatin1String(key))); };

    JWData rec;
    rec.type = str(proto::kType);
    rec.id = str(proto::kId);
    rec.from = str(proto::kFrom);
    rec.to = str(proto::kTo);
    rec.ret = proto::kOk;
    rec.desc = QString();
    const QString& type = rec.type;
    const QString from = rec.from;
    if (type.isEmpty()) {
        JWLOG::warning("unknow package.");
        return;
    }

    bool reply = true;
    if (type == proto::kMouseMove) {
        const QPoint p = packetPoint(obj);
        host::SetCursorPos(p.x(), p.y());
        reply = false;
    } else if (type == proto::kMode) {
        const QString value = str(proto::kValue);
        if (value == proto::kShow) {
            if (g_showUi)
                emit g_showUi->msg_show();
        } else if (value == proto::kRemote) {
            if (g_showUi)
                emit g_showUi->msg_hide();
        } else {
            rec.ret = proto::kFail;
            rec.desc = "unknown mode::" + value;
            JWLOG::error(rec.desc);
            qCDebug(lcJwShow).noquote() << rec.desc;
        }
    } else if (type == proto::kLogin) {
        rec.name = str(proto::kName);
        qCDebug(lcJwShow).noquote() << "recd login package from:" + from;
        JWLOG::debug("login-from:" + from + ":to:" + rec.to);
        ControllerInfo c;
        c.id = from;
        c.name = rec.name;
        c.ip = str(proto::kIp);
        c.pwd = str(proto::kPwd);
        c.sock = sock;
        JwUserManage::GetInstance()->AddUser(c);
        if (c.pwd.isEmpty()) {
            rec.ret = proto::kFail;
            rec.desc = QStringLiteral("no password");
        }
        rec.rc_port = QString::number(g_rcPort.load());
        rec.token = g_auth;
    } else if (type == proto::kLogout) {
        qCDebug(lcJwShow) << "logout package.";
        JwUserManage* users = JwUserManage::GetInstance();
        users->RemoveUserById(from);
        JWLOG::debug("logout from:" + from + ":" + QString::number(users->Count()));
        // Only shut down here: the server thread closes the socket on its next
        // read, so the number is never closed twice or under a running poll.
        JWShowService::GetInstance()->Shutdown(sock);
        reply = false;
    } else if (type == proto::kShowImage) {
        const QString url = str(proto::kUrl);
        if (!url.isEmpty()) {
            if (g_showUi)
                emit g_showUi->msg_addJwMess(sock, url);
        } else {
            rec.ret = proto::kFail;
            rec.desc = QStringLiteral("url is empty");
        }
    } else if (type == proto::kShowVideo) {
        const QString url = str(proto::kUrl);
        if (!url.isEmpty()) {
            if (g_showUi)
                emit g_showUi->msg_setVideoFile(url, int(sock), from);
        } else {
            rec.ret = proto::kFail;
            rec.desc = QStringLiteral("url is empty(video)");
        }
    } else if (type == proto::kShowVideoControl) {
        const QString act = str(proto::kAct);
        const QString value = str(proto::kValue);
        const qint64 t = decimal64(str(proto::kTime));
        qCDebug(lcJwShow).noquote() << "debug recv video control" + act;
        JWShowUi* ui = g_showUi;
        if (act == proto::kPlay) {
            if (ui)
                emit ui->msg_play();
        } else if (act == proto::kStop) {
            if (ui)
                emit ui->msg_stop();
        } else if (act == proto::kPause) {
            if (ui)
                emit ui->msg_pause();
        } else if (act == proto::kFastForward) {
            if (ui)
                emit ui->msg_SetFast(t);
        } else if (act == proto::kFastBackward) {
            // -INT64_MIN does not exist; such a step is nonsense anyway.
            if (ui)
                emit ui->msg_SetFast(t == std::numeric_limits<qint64>::min() ? 0 : -t);
        } else if (act == proto::kSeek) {
            if (ui)
                emit ui->msg_setPosition(t);
        } else if (act == proto::kVolume) {
            if (ui)
                emit ui->msg_Setvolume(decimal(value));
        } else if (act == proto::kMute) {
            if (ui) {
                if (value == proto::kTrue)
                    emit ui->msg_setMute();
                else
                    emit ui->msg_releaseMute();
            }
        } else {
            rec.ret = proto::kFail;
            rec.desc = "unknown control act=:" + act;
            JWLOG::error(rec.desc);
        }
    } else if (type == proto::kResolution) {
        const QString act = str(proto::kAct);
        if (act == proto::kSet) {
            const QString w = str(proto::kWidth);
            const QString h = str(proto::kHeight);
            if (!w.isEmpty() && !h.isEmpty()) {
                // A negative size would wrap to a huge unsigned one; 0 is refused
                // by the display change like any other impossible mode.
                const ulong pw = ulong(qMax(0, decimal(w)));
                const ulong ph = ulong(qMax(0, decimal(h)));
                if (g_mainWindow)
                    emit g_mainWindow->msg_ChangeResolution(pw, ph);
            } else {
                rec.ret = proto::kFail;
                rec.desc = "width or height is empty W:" + w + ":H:" + h;
                JWLOG::error("adjust resolution error:width:" + w + ":height:" + h);
            }
        } else if (act == proto::kReduction) {
            if (g_mainWindow)
                emit g_mainWindow->msg_ReductionResolution();
        } else {
            rec.ret = proto::kFail;
            rec.desc = "unknown type=" + type + ":act=:" + act;
        }
    } else if (type == proto::kKeepAlive) {
        const QString port = str(proto::kPort);
        qCDebug(lcJwShow).noquote() << "get jwrcserver listen port: " + port;
        const int p = decimal(port);
        if (p > 0)
            g_rcPort = p;
        reply = false;
    } else if (type == proto::kFileList) {
        jwFile::GetInstance()->GetFileList(rec.id, sock);
        reply = false;
    } else if (type == proto::kFileOpen) {
        jwFile::GetInstance()->OpenFile(str(proto::kPath), rec.id, sock);
        reply = false;
    } else if (type == proto::kFileClose) {
        jwFile::GetInstance()->CloseFile(str(proto::kPath), rec.id, sock);
        reply = false;
    } else {
        HandleWhiteboard(type, from, obj);
        reply = false;
    }

    if (reply) {
        rec.to = from;
        rec.from = proto::kIdentity;
        sendRetPack(sock, rec);
    }
}

void JWdataManage::HandleWhiteboard(const QString& type, const QString& from,
                                    const QJsonObject& obj)
{
    paintViewManage* pv = g_paintViewManage;
    auto num = [&obj](const char* key) { return numberField(obj.value(QLatin1String(key))); };
    auto str = [&obj](const char* key) { return stringField(obj.value(QLatin1String(key))); };

    if (type == proto::kWbStart) {
        if (pv)
            emit pv->msg_startWhiteboard(from);
    } else if (type == proto::kWbEnd) {
        if (pv)
            emit pv->msg_endWhiteboard(from);
    } else if (type == proto::kWbDrawing) {
        const QPoint p = packetPoint(obj);
        if (pv)
            emit pv->msg_drawing(from, p.x(), p.y());
    } else if (type == proto::kWbDrawStart) {
        const QPoint p = packetPoint(obj);
        if (pv)
            emit pv->msg_startDraw(from, p.x(), p.y());
    } else if (type == proto::kWbDrawEnd) {
        if (pv)
            emit pv->msg_endDraw(from);
    } else if (type == proto::kWbShape) {
        const QString act = str(proto::kAct);
        int code = 0;
        if (act == proto::kCurve)
            code = 5;
        else if (act == proto::kEllipse)
            code = 3;
        else if (act == proto::kLine)
            code = 1;
        else if (act == proto::kRect)
            code = 4;
        if (code && pv)
            emit pv->msg_shape(from, code);
    } else if (type == proto::kWbClear) {
        if (pv)
            emit pv->msg_clear(from);
    } else if (type == proto::kWbColor) {
        if (pv)
            emit pv->msg_setcolor(from, num(proto::kR), num(proto::kG), num(proto::kB));
    } else if (type == proto::kWbUndo) {
        if (pv)
            emit pv->msg_undo(from);
    } else if (type == proto::kWbPenWidth) {
        if (pv)
            emit pv->msg_penwidth(from, decimal(str(proto::kValue)));
    } else if (type == proto::kWbRedraw) {
        if (pv)
            emit pv->msg_redraw(from);
    } else if (type == proto::kWbStringStart) {
        const QPoint p = packetPoint(obj);
        if (pv)
            emit pv->msg_startText(from, p.x(), p.y());
    } else if (type == proto::kWbStringSet) {
        if (pv)
            emit pv->msg_setText(from, str(proto::kText));
    } else if (type == proto::kWbStringEnd) {
        if (pv)
            emit pv->msg_endText(from);
    } else {
        JWLOG::error("unknown type=:" + type);
    }
}

void JWdataManage::sendRetPack(SOCKET sock, const JWData& d)
{
    qCDebug(lcJwShow) << "socket = :" << sock;
    SendData(sock, BuildReply(d));
}

QString JWdataManage::BuildReply(const JWData& d)
{
    QJsonObject o;
    o.insert(QLatin1String(proto::kId), d.id);
    o.insert(QLatin1String(proto::kFrom), d.from);
    o.insert(QLatin1String(proto::kTo), d.to);
    o.insert(QLatin1String(proto::kType), d.type);
    if (d.type != proto::kShowVideoInfo) {
        o.insert(QLatin1String(proto::kRet), d.ret);
        o.insert(QLatin1String(proto::kDesc), d.desc);
    }
    if (d.type == proto::kLogin) {
        o.insert(QLatin1String(proto::kVersion), QLatin1String(proto::kProtoVersion));
        o.insert(QLatin1String(proto::kName), d.name);
        o.insert(QLatin1String(proto::kRcPort), d.rc_port);
        o.insert(QLatin1String(proto::kToken), d.token);
    } else if (d.type == proto::kShowVideoInfo) {
        o.insert(QLatin1String(proto::kAct), d.act);
        if (d.act == proto::kDuration || d.act == proto::kStatus || d.act == proto::kVolume)
            o.insert(QLatin1String(proto::kValue), d.value);
        else if (d.act == proto::kPosition)
            o.insert(QLatin1String(proto::kTime), d.time);
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void JWdataManage::SendData(SOCKET sock, const QString& text)
{
    qCDebug(lcJwShow).noquote() << "send data::" + text;
    WriteLogWindow(">>>>:" + text);
    // No process-wide send lock: the connection's own lock keeps whole texts
    // apart, and a controller that stops reading holds up only its own replies.
    if (!JWShowService::GetInstance()->Send(sock, text.toUtf8())) {
        qCDebug(lcJwShow).noquote() << "send error:" + text;
        JWLOG::debug("send error::" + text);
    }
}

QStringList JWdataManage::GetLocalIpAddress()
{
    QList<QNetworkInterface> ifaces = QNetworkInterface::allInterfaces();
    std::sort(ifaces.begin(), ifaces.end(),
              [](const QNetworkInterface& a, const QNetworkInterface& b) {
                  return a.index() < b.index();
              });
    QStringList out;
    for (const QNetworkInterface& ifc : ifaces) {
        const auto f = ifc.flags();
        if (!(f & QNetworkInterface::IsUp) || !(f & QNetworkInterface::IsRunning) ||
            (f & QNetworkInterface::IsLoopBack))
            continue;
        QList<quint32> addrs;
        for (const QNetworkAddressEntry& e : ifc.addressEntries()) {
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                addrs << e.ip().toIPv4Address();
        }
        std::sort(addrs.begin(), addrs.end());
        for (quint32 a : addrs) {
            const QString text = QHostAddress(a).toString();
            qCDebug(lcJwShow).noquote() << "local IP:::" + text;
            out << text;
        }
    }
    return out;
}

void JWdataManage::CheckLocalIpChange()
{
    d->latestIps = GetLocalIpAddress();
    bool changed = d->latestIps.size() != d->knownIps.size();
    for (const QString& ip : d->latestIps) {
        if (changed)
            break;
        changed = !d->knownIps.contains(ip);
    }
    if (!changed)
        return;
    d->knownIps = d->latestIps;
    if (g_mainWindow)
        emit g_mainWindow->msg_localIpChanged(d->latestIps);
}

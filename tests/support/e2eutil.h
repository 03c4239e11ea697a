#pragma once
// Expected reply texts, written out by hand so that a test compares the program's
// bytes with an independent rendering (key order, no spaces, UTF-8).

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace e2e
{

// JSON written with single quotes, so that the texts need neither escapes nor raw
// strings (which moc cannot read).
inline QByteArray j(const char* text)
{
    return QByteArray(text).replace('\'', '"');
}

// The reply envelope: desc, from, id, ret, to, type in ascending key order.
inline QByteArray envelope(const QByteArray& id, const QByteArray& to, const QByteArray& type,
                           const QByteArray& ret = "0", const QByteArray& desc = "")
{
    return R"({"desc":")" + desc + R"(","from":"jwshow","id":")" + id + R"(","ret":")" + ret +
           R"(","to":")" + to + R"(","type":")" + type + R"("})";
}

inline QByteArray loginReply(const QByteArray& id, const QByteArray& from, const QByteArray& name,
                             quint16 rcPort, const QByteArray& token, const QByteArray& ret = "0",
                             const QByteArray& desc = "")
{
    return R"({"desc":")" + desc + R"(","from":"jwshow","id":")" + id + R"(","name":")" + name +
           R"(","rc_port":")" + QByteArray::number(rcPort) + R"(","ret":")" + ret + R"(","to":")" +
           from + R"(","token":")" + token + R"(","type":"login","version":"1.0.4.111"})";
}

// The token of a login reply ("" when there is none).
inline QByteArray tokenOf(const QByteArray& reply)
{
    const QJsonObject o = QJsonDocument::fromJson(reply.mid(reply.indexOf('{'))).object();
    return o.value("token").toString().toUtf8();
}

} // namespace e2e

#include "protocol/reply.h"

#include "protocol/protocol.h"

#include <QJsonDocument>
#include <QJsonObject>

QString BuildReply(const JWData& d)
{
    QJsonObject o;
    auto put = [&o](const char* key, const QString& value) { o.insert(QLatin1String(key), value); };
    put(proto::kId, d.id);
    put(proto::kFrom, d.from);
    put(proto::kTo, d.to);
    put(proto::kType, d.type);
    if (d.type != proto::kShowVideoInfo) {
        put(proto::kRet, d.ret);
        put(proto::kDesc, d.desc);
    }
    if (d.type == proto::kLogin) {
        put(proto::kVersion, QLatin1String(proto::kProtoVersion));
        put(proto::kName, d.name);
        put(proto::kRcPort, d.rc_port);
        put(proto::kToken, d.token);
    } else if (d.type == proto::kShowVideoInfo) {
        put(proto::kAct, d.act);
        if (d.act == proto::kDuration || d.act == proto::kStatus || d.act == proto::kVolume)
            put(proto::kValue, d.value);
        else if (d.act == proto::kPosition)
            put(proto::kTime, d.time);
    } else if (d.type == proto::kShowReport) {
        put(proto::kAct, d.act);
        put(proto::kValue, d.value);
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QByteArray Greeting(const QString& hostName)
{
    return QByteArray(proto::kIdentity) + '-' + proto::kProtoVersion + '-' + hostName.toUtf8();
}

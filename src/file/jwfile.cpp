#include "file/jwfile.h"

#include "base/jwdebug.h"
#include "protocol/protocol.h"
#include "protocol/reply.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QString jwFile::GetFileList(const QString& id)
{
    qCDebug(lcJwShow) << "getfilelist..................";
    QJsonArray files;
    for (int i = 0; i < 3; ++i) {
        QJsonObject f;
        f.insert(QLatin1String(proto::kName), QStringLiteral("xx.jpg"));
        f.insert(QLatin1String(proto::kSize), 10000);
        files.append(f);
    }
    QJsonObject o;
    o.insert(QLatin1String(proto::kId), id);
    o.insert(QLatin1String(proto::kType), QLatin1String(proto::kFileList));
    o.insert(QLatin1String(proto::kFrom), QLatin1String(proto::kIdentity));
    o.insert(QLatin1String(proto::kTo), QLatin1String(proto::kFileListTo));
    o.insert(QLatin1String(proto::kRet), QLatin1String(proto::kOk));
    o.insert(QLatin1String(proto::kDesc), QStringLiteral(" "));
    o.insert(QLatin1String(proto::kFiles), files);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

namespace
{
QString fileReply(const char* type, const QString& id)
{
    JWData r;
    r.id = id;
    r.from = proto::kIdentity;
    r.to = QStringLiteral(" ");
    r.type = type;
    r.ret = proto::kOk;
    r.desc = QStringLiteral(" ");
    return BuildReply(r);
}
} // namespace

QString jwFile::OpenFile(const QString& path, const QString& id)
{
    Q_UNUSED(path);
    return fileReply(proto::kFileOpen, id);
}

QString jwFile::CloseFile(const QString& path, const QString& id)
{
    Q_UNUSED(path);
    qCDebug(lcJwShow) << "CloseFile..................";
    return fileReply(proto::kFileClose, id);
}

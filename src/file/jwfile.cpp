#include "file/jwfile.h"

#include "server/jwdatamanage.h"
#include "server/jwdebug.h"
#include "protocol/protocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

jwFile* jwFile::GetInstance()
{
    static jwFile instance; // stateless; safe to destroy at exit
    return &instance;
}

QString jwFile::FileListReply(const QString& id)
{
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

int jwFile::GetFileList(const QString& id, unsigned int socket)
{
    qCDebug(lcJwShow) << "getfilelist..................";
    JWdataManage::GetInstance()->SendData(socket, FileListReply(id));
    return 0;
}

namespace
{
void sendFileReply(const char* type, const QString& id, unsigned int socket)
{
    JWData r;
    r.id = id;
    r.from = proto::kIdentity;
    r.to = QStringLiteral(" ");
    r.type = type;
    r.ret = proto::kOk;
    r.desc = QStringLiteral(" ");
    JWdataManage::GetInstance()->sendRetPack(socket, r);
}
} // namespace

void jwFile::OpenFile(const QString& path, const QString& id, unsigned int socket)
{
    Q_UNUSED(path);
    sendFileReply(proto::kFileOpen, id, socket);
}

void jwFile::CloseFile(const QString& path, const QString& id, unsigned int socket)
{
    Q_UNUSED(path);
    qCDebug(lcJwShow) << "CloseFile..................";
    sendFileReply(proto::kFileClose, id, socket);
}

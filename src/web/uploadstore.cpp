#include "web/uploadstore.h"

#include <QRandomGenerator>

namespace web
{

QByteArray UploadStore::typeOf(const QByteArray& format)
{
    const QByteArray f = format.toLower();
    if (f == "png" || f == "gif" || f == "bmp" || f == "webp")
        return "image/" + f;
    if (f == "jpeg" || f == "jpg")
        return "image/jpeg";
    return QByteArray();
}

QByteArray UploadStore::add(const QByteArray& bytes, const QByteArray& format)
{
    // 128 bits from the system's source: the name is the only key to the picture.
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QByteArray name = QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex() + '.' +
                      typeOf(format).mid(6).replace("jpeg", "jpg");
    uploads_.push_back({name, typeOf(format), bytes});
    keptBytes_ += bytes.size();
    while (uploads_.size() > 1 && (int(uploads_.size()) > kMaxKept || keptBytes_ > kMaxKeptBytes)) {
        keptBytes_ -= uploads_.front().bytes.size();
        uploads_.pop_front();
    }
    return name;
}

const UploadStore::Upload* UploadStore::find(const QByteArray& name) const
{
    for (const Upload& u : uploads_) {
        if (u.name == name)
            return &u;
    }
    return nullptr;
}

} // namespace web

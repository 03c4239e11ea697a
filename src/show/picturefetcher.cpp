#include "show/picturefetcher.h"

#include "base/jwdebug.h"
#include "base/picturedecode.h"
#include "host/memory.h"

#include <QDebug>
#include <QGuiApplication>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScreen>
#include <QTimer>
#include <utility>

namespace
{

bool isWebAddress(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

QSize primaryScreenSize()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().size() : QSize();
}

} // namespace

PictureFetcher::PictureFetcher(QObject* parent) : QObject(parent), m_decodeArea(primaryScreenSize)
{
    connect(&m_network, &QNetworkAccessManager::finished, this, &PictureFetcher::finished);
}

PictureFetcher::~PictureFetcher() = default;

void PictureFetcher::fetch(const QString& url)
{
    m_queue.append(url);
    // A controller sending addresses faster than pictures load must not grow
    // the queue without end.
    while (m_queue.size() > kMaxPendingPictures) {
        const QString dropped = m_queue.takeFirst();
        qCDebug(lcJwShow) << "picture request dropped, too many waiting:" << dropped;
    }
    startNext();
}

void PictureFetcher::dropAll()
{
    m_queue.clear();
    m_body = QByteArray();
    // Aborting finishes the reply at once, back through finished(), which no
    // longer knows it. A reply that has finished already ignores the abort, and
    // its finished() to come finds it given up just the same.
    if (QNetworkReply* download = std::exchange(m_download, nullptr))
        download->abort();
}

void PictureFetcher::startNext()
{
    // Requests that cannot be fetched are dropped here and the next one is tried
    // at once; otherwise the queue would stall until the next request.
    while (!m_download && !m_queue.isEmpty()) {
        const QString address = m_queue.takeFirst();
        if (address.isEmpty())
            continue;
        const QUrl url(address.trimmed(), QUrl::TolerantMode);
        // Only web addresses: a controller must not make us read local files.
        if (!isWebAddress(url)) {
            qCDebug(lcJwShow) << "picture address refused:" << address;
            continue;
        }
        QNetworkRequest request(url);
        request.setTransferTimeout(m_transferTimeoutMs);
        m_download = m_network.get(request);
        // The network thread reads ahead of this one only as far as this buffer:
        // unbounded, a server's endless body piled up in it while the window was
        // busy (1.8 GB in 3 s on loopback), long before the bound below was seen.
        m_download->setReadBufferSize(kReadAheadBytes);
        guard(m_download);
    }
}

// Gives up a download whose body is larger than any picture we are willing to
// hold, or that is still running at the deadline. Aborting finishes the reply as
// failed, so the queue moves on through finished().
void PictureFetcher::guard(QNetworkReply* reply)
{
    // The reply is the timer's context: a reply deleted earlier cancels it.
    QTimer::singleShot(m_downloadDeadlineMs, reply, [reply]() {
        if (!reply->isFinished()) {
            qCDebug(lcJwShow) << "picture download took too long:" << reply->url().toString();
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply]() {
        if (reply->isFinished())
            return;
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxPictureBytes) {
            qCDebug(lcJwShow) << "picture too large:" << length.toLongLong() << "bytes";
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply]() {
        if (reply != m_download)
            return;
        m_body += reply->readAll();
        if (m_body.size() > kMaxPictureBytes && !reply->isFinished()) {
            qCDebug(lcJwShow) << "picture too large:" << m_body.size() << "bytes so far";
            reply->abort();
        }
    });
}

void PictureFetcher::finished(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply != m_download)
        return; // given up when the show ended
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool httpOk = !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
    QByteArray body = std::exchange(m_body, {});
    body += reply->readAll();
    if (reply->error() == QNetworkReply::NoError && httpOk) {
        QImage image;
        if (DecodePicture(body, &image, nullptr, m_decodeArea()))
            emit pictureReady(image);
    } else {
        qCDebug(lcJwShow) << "picture download failed:" << reply->url().toString()
                          << reply->errorString();
    }
    // A download leaves up to its bound behind in the allocator (a hostile server
    // fills it): once the reply is gone, that memory goes back to the system, and
    // once more a moment later, when the network thread has let go of its buffers.
    connect(reply, &QObject::destroyed, this, [this] {
        QTimer::singleShot(0, this, [] { host::ReleaseFreeMemory(); });
        QTimer::singleShot(1000, this, [] { host::ReleaseFreeMemory(); });
    });
    // Busy until the picture is handed on: a request made meanwhile waits its
    // turn. A drop meanwhile has let go of this download, and a request after it
    // may already be fetching: the queue is then no longer ours to move on.
    if (reply != m_download)
        return;
    m_download = nullptr;
    startNext();
}

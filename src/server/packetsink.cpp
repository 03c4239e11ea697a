#include "server/packetsink.h"

void PacketSink::AddPackets(SOCKET sock, const QStringList& texts,
                            const std::shared_ptr<QueuedInput>& input)
{
    PacketBatch batch;
    for (const QString& t : texts) {
        const QByteArray utf8 = t.toUtf8();
        batch.append(utf8.constData(), utf8.size());
    }
    AddPackets(sock, std::move(batch), input);
}

// The host layer's memory release: freed blocks whose pages the allocator keeps inside its
// heap go back to the system.

#include "host/memory.h"

#include <QFile>
#include <QtTest>

#include <cstdlib>
#include <unistd.h>
#include <vector>

class TestMemory : public QObject
{
    Q_OBJECT
    static qint64 residentKiB()
    {
        QFile statm(QStringLiteral("/proc/self/statm"));
        const QList<QByteArray> pages =
            statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ') : QList<QByteArray>();
        return pages.size() > 1 ? pages[1].toLongLong() * sysconf(_SC_PAGESIZE) / 1024 : -1;
    }

private slots:
    void freedHeapPagesGoBack()
    {
#if !defined(__GLIBC__)
        QSKIP("only glibc's allocator is known to keep them");
#else
        // 32 MiB in blocks the allocator serves from its heap, and a block after them, so
        // that freeing them cannot simply lower the heap's end: their pages stay resident.
        // (Written through volatile, or the compiler may leave out unused blocks.)
        constexpr size_t kBlock = 16 * 1024;
        std::vector<char*> blocks(2049);
        for (char*& b : blocks) {
            b = static_cast<char*>(std::malloc(kBlock));
            for (size_t i = 0; i < kBlock; i += 1024)
                static_cast<volatile char*>(b)[i] = 1;
        }
        char* after = blocks.back();
        blocks.pop_back();
        for (char* b : blocks)
            std::free(b);
        const qint64 kept = residentKiB();
        host::ReleaseFreeMemory();
        const qint64 released = kept - residentKiB();
        std::free(after);
        QVERIFY2(kept > 0 && released >= 24 * 1024, qPrintable(QString::number(released)));
#endif
    }
};

QTEST_APPLESS_MAIN(TestMemory)
#include "tst_memory.moc"

// The host layer's memory release: freed blocks whose pages the allocator keeps inside its
// heap go back to the system.

#include "host/memory.h"
#include "jwinstance.h"

#include <QtTest>

#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <vector>

class TestMemory : public QObject
{
    Q_OBJECT
    static long residentKiB()
    {
        long size = 0, resident = -1;
        std::ifstream("/proc/self/statm") >> size >> resident;
        return resident * sysconf(_SC_PAGESIZE) / 1024;
    }

private slots:
    // 32 MiB in blocks the allocator serves from its heap, freed below one still in use so
    // that the heap cannot just shrink from its end: their pages stay resident until given
    // back. (Written through volatile, or the compiler may leave out blocks nobody reads.)
    void freedHeapPagesGoBack()
    {
#if !defined(__GLIBC__)
        QSKIP("only glibc's allocator is known to keep them");
#endif
        if (!jwtest::kMemoryBounded)
            QSKIP("a sanitizer's allocator, not glibc's, serves this build");
        std::vector<char*> blocks(2049);
        for (char*& b : blocks) {
            b = static_cast<char*>(std::malloc(16 * 1024));
            for (int i = 0; i < 16 * 1024; i += 1024)
                static_cast<volatile char*>(b)[i] = 1;
        }
        for (size_t i = 0; i + 1 < blocks.size(); ++i)
            std::free(blocks[i]);
        const long kept = residentKiB();
        host::ReleaseFreeMemory();
        const long released = kept - residentKiB();
        std::free(blocks.back());
        QVERIFY2(kept > 0 && released >= 24 * 1024, qPrintable(QString::number(released)));
    }
};

QTEST_APPLESS_MAIN(TestMemory)
#include "tst_memory.moc"

// Wiping secrets: what is zeroed and what is left, and the memory kept out
// of swap let go.
#include "secrets/Wipe.h"

#include <QFile>

#include <gtest/gtest.h>

#include <climits>
#include <malloc.h>

namespace {

// wipe() writes only what the array holds alone: bytes another array shares,
// static text and bytes the array does not own stay as they are.
TEST(Wipe, LeavesWhatOthersHold) {
    const QByteArray kept("the opened bytes of a vault");
    QByteArray shared = kept;
    secrets::wipe(shared);
    EXPECT_TRUE(shared.isNull());
    EXPECT_EQ(kept, QByteArray("the opened bytes of a vault"));

    char raw[] = "bytes the array does not own";
    QByteArray over = QByteArray::fromRawData(raw, sizeof raw - 1);
    secrets::wipe(over);
    EXPECT_TRUE(over.isNull());
    EXPECT_STREQ(raw, "bytes the array does not own");

    const QString typed = QStringLiteral("Zo\u00eb-hunter22secret");
    QString text = typed;
    secrets::wipe(text);
    EXPECT_TRUE(text.isNull());
    EXPECT_EQ(typed, QStringLiteral("Zo\u00eb-hunter22secret"));

    // Held alone, with room before its start: zeroed whole, within bounds
    // (the sanitizers' build would see a write outside the allocation).
    QByteArray alone = kept;
    alone.detach();
    alone.remove(0, 4);
    secrets::wipe(alone);
    EXPECT_TRUE(alone.isNull());
}

// This process's locked memory, in KiB, as the kernel counts it.
qint64 lockedKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmLck:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Bytes kept out of swap stay locked until the array that holds them is
// wiped.
TEST(Wipe, UnlocksWhatWasKeptOutOfSwap) {
    // Memory freed stays mapped in this process, so that what is seen is the
    // unlocking, not the pages given back to the system with their locks.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
    const qint64 before = lockedKiB();
    ASSERT_GE(before, 0);
    QByteArray secret(256 * 1024, Qt::Uninitialized);
    secrets::lockOutOfSwap(secret.constData(), secret.size());
    const qint64 locked = lockedKiB();
    if (locked == before)
        GTEST_SKIP() << "the locked-memory limit (RLIMIT_MEMLOCK) refuses 256 KiB";
    EXPECT_GE(locked, before + 256);
    secret.fill('s');
    secrets::wipe(secret);
    EXPECT_TRUE(secret.isNull());
    EXPECT_EQ(lockedKiB(), before);
}

} // namespace

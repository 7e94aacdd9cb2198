// A save cut short, by a kill at any moment or by a disk that stops taking
// data, leaves the vault as it was before or as it was meant to be after:
// never anything else.
#include "VaultTestSupport.h"

#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Two different vaults of a realistic shape.
QByteArray vaultOf(int entries, const char* tag) {
    std::vector<Entry> list;
    for (int i = 0; i < entries; ++i)
        list.push_back({QStringLiteral("%1-user%2").arg(QLatin1String(tag)).arg(i),
                        QStringLiteral("pw%1").arg(i * 31),
                        QStringLiteral("site%1.example").arg(i)});
    return vaultformat::savedFile(QStringLiteral("master"), list);
}

QStringList others(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.removeAll(QStringLiteral("data.enc"));
    return names;
}

// Puts the hooks back however a test ends.
struct HooksReset {
    ~HooksReset() { vaultfile::saveHooks() = vaultfile::SaveHooks{}; }
};

int g_killAtStep = -1;
int g_steps = 0;

void killAtStep(const char*) {
    if (g_steps++ == g_killAtStep)
        ::kill(::getpid(), SIGKILL);
}

qint64 g_writeBudget = 0;

ssize_t writeUntilFull(int fd, const void* data, size_t size) {
    if (g_writeBudget <= 0) {
        errno = ENOSPC;
        return -1;
    }
    const size_t n = std::min<size_t>(size, static_cast<size_t>(g_writeBudget));
    const ssize_t written = ::write(fd, data, n);
    if (written > 0)
        g_writeBudget -= written;
    return written;
}

int failingSync(int) {
    errno = EIO;
    return -1;
}

int failingRename(const char*, const char*) {
    errno = EXDEV;
    return -1;
}

// Runs `save` in a child process that is killed at step `k` of the save;
// returns whether the child was killed (false: the save ran to its end).
bool saveKilledAtStep(const QString& path, const QByteArray& data, int k) {
    const pid_t child = ::fork();
    if (child == 0) {
        vaultfile::saveHooks().chunk = 4096;
        vaultfile::saveHooks().step = killAtStep;
        g_killAtStep = k;
        const vaultfile::Result r = vaultfile::saveAtomically(path, data);
        ::_exit(r.ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status);
}

} // namespace

TEST(InterruptedSave, KillAtEveryStepLeavesOldOrNewVault) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.enc"));
    const QByteArray oldVault = vaultOf(200, "old");
    const QByteArray newVault = vaultOf(900, "new"); // several writes long
    int killed = 0;
    int sawOld = 0;
    int sawNew = 0;
    for (int k = 0;; ++k) {
        writeFile(path, oldVault);
        const bool wasKilled = saveKilledAtStep(path, newVault, k);
        const QByteArray now = readFile(path);
        ASSERT_TRUE(now == oldVault || now == newVault) << "kill at step " << k;
        sawOld += now == oldVault;
        sawNew += now == newVault;
        // What the kill left is never mistaken for the vault, and the next
        // start clears it away.
        vaultfile::removeLeftovers(path);
        EXPECT_TRUE(others(dir.path()).isEmpty())
            << others(dir.path()).join(QLatin1Char(' ')).toStdString();
        if (!wasKilled) {
            EXPECT_EQ(now, newVault);
            break;
        }
        ++killed;
    }
    // created, each written chunk, synced, closed, renamed, folder synced
    EXPECT_GE(killed, 6);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0); // killed after the rename: the new vault stands
    std::printf("kill points at save steps: %d\n", killed);
}

TEST(InterruptedSave, KillsAtRandomMomentsLeaveOldOrNewVault) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.enc"));
    const QByteArray a = vaultOf(3000, "a");
    const QByteArray b = vaultOf(3500, "b");
    writeFile(path, a);
    quint32 start = 20261207;
    if (const char* env = std::getenv("KEYNOOK_RANDOM_START"))
        start = static_cast<quint32>(std::strtoul(env, nullptr, 10));
    std::printf("random start value %u (KEYNOOK_RANDOM_START)\n", start);
    QRandomGenerator random(start);
    constexpr int kKills = 1000;
    int sawA = 0;
    int sawB = 0;
    for (int i = 0; i < kKills; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            // Saves the two vaults in turn until it is killed.
            for (int n = 0;; ++n)
                vaultfile::saveAtomically(path, n % 2 ? a : b);
        }
        // Lets the child run for a random moment, then kills it wherever it is.
        const timespec pause{0, static_cast<long>(random.bounded(3000u)) * 1000L};
        ::nanosleep(&pause, nullptr);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const QByteArray now = readFile(path);
        ASSERT_TRUE(now == a || now == b) << "kill " << i << ": " << now.size() << " bytes";
        sawA += now == a;
        sawB += now == b;
        vaultfile::removeLeftovers(path);
        ASSERT_TRUE(others(dir.path()).isEmpty()) << "kill " << i;
    }
    std::printf("random kills: %d (old vault %d, new vault %d)\n", kKills, sawA, sawB);
    EXPECT_GT(sawB, 0);
}

TEST(InterruptedSave, DiskFullAfterEveryByteCountKeepsOldVault) {
    HooksReset reset;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.enc"));
    const QByteArray oldVault = vaultOf(3, "old");
    const QByteArray newVault = vaultOf(5, "new");
    vaultfile::saveHooks().write = writeUntilFull;
    vaultfile::saveHooks().chunk = 7;
    int failures = 0;
    for (qint64 n = 0; n <= newVault.size(); ++n) {
        writeFile(path, oldVault);
        g_writeBudget = n;
        const vaultfile::Result r = vaultfile::saveAtomically(path, newVault);
        if (n < newVault.size()) {
            ASSERT_FALSE(r.ok) << "disk full after " << n << " bytes";
            EXPECT_FALSE(r.error.isEmpty());
            ASSERT_EQ(readFile(path), oldVault) << n;
            ++failures;
        } else {
            ASSERT_TRUE(r.ok) << r.error.toStdString();
            ASSERT_EQ(readFile(path), newVault);
        }
        ASSERT_TRUE(others(dir.path()).isEmpty()) << n;
    }
    std::printf("failure points injected: %d\n", failures);
}

TEST(InterruptedSave, FailedSyncOrRenameKeepsOldVault) {
    HooksReset reset;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.enc"));
    const QByteArray oldVault = vaultOf(3, "old");
    for (int which = 0; which < 2; ++which) {
        writeFile(path, oldVault);
        vaultfile::saveHooks() = vaultfile::SaveHooks{};
        if (which == 0)
            vaultfile::saveHooks().fsync = failingSync;
        else
            vaultfile::saveHooks().rename = failingRename;
        const vaultfile::Result r = vaultfile::saveAtomically(path, vaultOf(4, "new"));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(readFile(path), oldVault);
        EXPECT_TRUE(others(dir.path()).isEmpty());
    }
}

TEST(InterruptedSave, RealFullFileSystem) {
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath(QStringLiteral("small"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    const QByteArray point = QFile::encodeName(mountPoint);
    if (::mount("tmpfs", point.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "a small tmpfs cannot be mounted here: " << std::strerror(errno);
    struct Unmount {
        QByteArray at;
        ~Unmount() { ::umount(at.constData()); }
    } unmount{point};
    const QString path = mountPoint + QStringLiteral("/data.enc");
    const QByteArray oldVault = vaultOf(300, "old"); // about a third of the space
    ASSERT_TRUE(vaultfile::saveAtomically(path, oldVault).ok);
    const vaultfile::Result r = vaultfile::saveAtomically(path, vaultOf(1500, "new"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(readFile(path), oldVault);
    EXPECT_TRUE(others(mountPoint).isEmpty());
    // Room again: the next save goes through.
    EXPECT_TRUE(vaultfile::saveAtomically(path, vaultOf(301, "next")).ok);
    EXPECT_EQ(readFile(path), vaultOf(301, "next"));
}

// Permissions do not stop root, so these checks run as an unprivileged user
// in a child process when the tests run as root.
TEST(InterruptedSave, NoPermissionMeansAClearFailureAndNoChange) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("vault"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/data.enc");
    const QByteArray oldVault = vaultOf(2, "old");
    writeFile(path, oldVault);
    const QByteArray dirName = QFile::encodeName(dir.path());
    ::chmod(dirName.constData(), 0755);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0) {
            const QByteArray f = QFile::encodeName(folder);
            const QByteArray p = QFile::encodeName(path);
            if (::chown(f.constData(), 65534, 65534) != 0 ||
                ::chown(p.constData(), 65534, 65534) != 0 || ::setgid(65534) != 0 ||
                ::setuid(65534) != 0)
                ::_exit(10);
        }
        const QByteArray f = QFile::encodeName(folder);
        const QByteArray p = QFile::encodeName(path);
        int failures = 0;
        // No read permission on the file.
        ::chmod(p.constData(), 0200);
        failures += vaultfile::readAll(path).ok ? 0 : 1;
        // No write permission on the file.
        ::chmod(p.constData(), 0400);
        failures += vaultfile::saveAtomically(path, "new").ok ? 0 : 1;
        // No write permission on the folder.
        ::chmod(p.constData(), 0600);
        ::chmod(f.constData(), 0555);
        failures += vaultfile::saveAtomically(path, "new").ok ? 0 : 1;
        ::chmod(f.constData(), 0755);
        ::_exit(failures == 3 ? 0 : 20 + failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(path), oldVault);
    EXPECT_TRUE(others(folder).isEmpty());
}

// A save cut short, by a kill at any moment or by a disk that stops taking
// data, leaves the vault as it was before or as it was meant to be after:
// never anything else. In either form: the plain bytes written as they are,
// or a sealed vault saved through the session, which seals every save anew.
#include "VaultTestSupport.h"

#include "seal/SealedVault.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLock.h"
#include "vault/VaultSession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

#include <memory>

namespace {

const QString kMaster = QStringLiteral("master");

// Two different vaults of a realistic shape.
QByteArray vaultOf(int entries, const char* tag) {
    std::vector<Entry> list;
    for (int i = 0; i < entries; ++i)
        list.push_back({QStringLiteral("%1-user%2").arg(QLatin1String(tag)).arg(i),
                        QStringLiteral("pw%1").arg(i * 31),
                        QStringLiteral("site%1.example").arg(i)});
    return vaultformat::savedFile(kMaster, list);
}

// What is in the vault's folder besides the vault and the lock of a session
// on it (the sealed form's).
QStringList others(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    const QString vault = folder + QStringLiteral("/data.enc");
    names.removeAll(QStringLiteral("data.enc"));
    names.removeAll(QFileInfo(QFile::decodeName(VaultLock::pathFor(vaultfile::realFilePath(vault))))
                        .fileName());
    return names;
}

enum class Form { Plain, Sealed };

void PrintTo(Form form, std::ostream* os) {
    *os << (form == Form::Plain ? "Plain" : "Sealed");
}

// One vault in one of its forms, and the save the program makes of it. The
// sealed form is saved by VaultSession::save under the key it was sealed
// with; its key costs the least libsodium allows, since what is tested here
// is the save and not the key.
class VaultForm {
public:
    VaultForm(Form form, QString path) : m_form(form), m_path(std::move(path)) {}

    // Makes `plain` the vault, in this form, and returns the file's bytes.
    QByteArray start(const QByteArray& plain) {
        testsupport::writeBytes(m_path, plain);
        if (m_form == Form::Sealed) {
            m_session = std::make_unique<VaultSession>(m_path);
            const VaultSession::Status opened = m_session->open();
            EXPECT_TRUE(opened.ok()) << opened.why.toStdString();
            const VaultSession::Status sealed =
                m_session->seal(kMaster, sealedvault::ParamBounds::accepted().least);
            EXPECT_TRUE(sealed.ok()) << sealed.why.toStdString();
        }
        return testsupport::fileBytes(m_path);
    }

    vaultfile::Result save(const QByteArray& plain) {
        if (m_form == Form::Plain)
            return vaultfile::saveAtomically(m_path, plain);
        const VaultSession::Status saved = m_session->save(plain);
        return {saved.ok(), saved.why};
    }

    // The plain bytes `file` holds: itself, or what the master password
    // opens; a marker that no vault equals when it does not open.
    QByteArray opened(const QByteArray& file) const {
        if (m_form == Form::Plain)
            return file;
        if (!sealedvault::isSealed(file))
            return "<not sealed>";
        const sealedvault::Unsealed u = sealedvault::unseal(file, kMaster);
        return u.ok() ? u.plain : QByteArray("<does not open>");
    }

    // How many bytes a save of `plain` writes.
    qsizetype fileSize(const QByteArray& plain) const {
        return plain.size() + (m_form == Form::Sealed ? sealedvault::layout::kHeaderSize +
                                                            sealedvault::layout::kTagSize
                                                      : 0);
    }

private:
    Form m_form;
    QString m_path;
    std::unique_ptr<VaultSession> m_session;
};

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

// Runs the save of `data` in a child process that is killed at step `k` of
// the save; returns whether the child was killed (false: the save ran to its
// end).
bool saveKilledAtStep(VaultForm& form, const QByteArray& data, int k) {
    const pid_t child = ::fork();
    if (child == 0) {
        vaultfile::saveHooks().chunk = 4096;
        vaultfile::saveHooks().step = killAtStep;
        g_killAtStep = k;
        const vaultfile::Result r = form.save(data);
        ::_exit(r.ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status);
}

class InterruptedSave : public ::testing::TestWithParam<Form> {
protected:
    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(QStringLiteral("data.enc"));
    VaultForm m_form{GetParam(), m_path};
};

} // namespace

TEST_P(InterruptedSave, KillAtEveryStepLeavesOldOrNewVault) {
    const QByteArray oldVault = vaultOf(200, "old");
    const QByteArray newVault = vaultOf(900, "new"); // several writes long
    const QByteArray oldFile = m_form.start(oldVault);
    int killed = 0;
    int sawOld = 0;
    int sawNew = 0;
    for (int k = 0;; ++k) {
        testsupport::writeBytes(m_path, oldFile);
        const bool wasKilled = saveKilledAtStep(m_form, newVault, k);
        const QByteArray now = testsupport::fileBytes(m_path);
        const bool isOld = now == oldFile;
        const bool isNew = !isOld && m_form.opened(now) == newVault;
        ASSERT_TRUE(isOld || isNew) << "kill at step " << k;
        sawOld += isOld;
        sawNew += isNew;
        // What the kill left is never mistaken for the vault, and the next
        // start clears it away.
        vaultfile::removeLeftovers(vaultfile::realFilePath(m_path));
        EXPECT_TRUE(others(m_dir.path()).isEmpty())
            << others(m_dir.path()).join(QLatin1Char(' ')).toStdString();
        if (!wasKilled) {
            EXPECT_TRUE(isNew);
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

TEST_P(InterruptedSave, KillsAtRandomMomentsLeaveOldOrNewVault) {
    const QByteArray a = vaultOf(3000, "a");
    const QByteArray b = vaultOf(3500, "b");
    m_form.start(a);
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
                m_form.save(n % 2 ? a : b);
        }
        // Lets the child run for a random moment, then kills it wherever it is.
        const timespec pause{0, static_cast<long>(random.bounded(3000u)) * 1000L};
        ::nanosleep(&pause, nullptr);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const QByteArray now = testsupport::fileBytes(m_path);
        const QByteArray opened = m_form.opened(now);
        ASSERT_TRUE(opened == a || opened == b) << "kill " << i << ": " << now.size() << " bytes";
        sawA += opened == a;
        sawB += opened == b;
        vaultfile::removeLeftovers(vaultfile::realFilePath(m_path));
        ASSERT_TRUE(others(m_dir.path()).isEmpty()) << "kill " << i;
    }
    std::printf("random kills: %d (old vault %d, new vault %d)\n", kKills, sawA, sawB);
    EXPECT_GT(sawB, 0);
}

TEST_P(InterruptedSave, DiskFullAfterEveryByteCountKeepsOldVault) {
    HooksReset reset;
    const QByteArray oldVault = vaultOf(3, "old");
    const QByteArray newVault = vaultOf(5, "new");
    const QByteArray oldFile = m_form.start(oldVault);
    const qsizetype newSize = m_form.fileSize(newVault);
    vaultfile::saveHooks().write = writeUntilFull;
    vaultfile::saveHooks().chunk = 7;
    int failures = 0;
    for (qint64 n = 0; n <= newSize; ++n) {
        testsupport::writeBytes(m_path, oldFile);
        g_writeBudget = n;
        const vaultfile::Result r = m_form.save(newVault);
        if (n < newSize) {
            ASSERT_FALSE(r.ok) << "disk full after " << n << " bytes";
            EXPECT_FALSE(r.error.isEmpty());
            ASSERT_EQ(testsupport::fileBytes(m_path), oldFile) << n;
            ++failures;
        } else {
            ASSERT_TRUE(r.ok) << r.error.toStdString();
            ASSERT_EQ(m_form.opened(testsupport::fileBytes(m_path)), newVault);
        }
        ASSERT_TRUE(others(m_dir.path()).isEmpty()) << n;
    }
    std::printf("failure points injected: %d\n", failures);
}

TEST_P(InterruptedSave, FailedSyncOrRenameKeepsOldVault) {
    HooksReset reset;
    const QByteArray oldFile = m_form.start(vaultOf(3, "old"));
    for (int which = 0; which < 2; ++which) {
        testsupport::writeBytes(m_path, oldFile);
        vaultfile::saveHooks() = vaultfile::SaveHooks{};
        if (which == 0)
            vaultfile::saveHooks().fsync = failingSync;
        else
            vaultfile::saveHooks().rename = failingRename;
        const vaultfile::Result r = m_form.save(vaultOf(4, "new"));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(testsupport::fileBytes(m_path), oldFile);
        EXPECT_TRUE(others(m_dir.path()).isEmpty());
    }
}

TEST_P(InterruptedSave, RealFullFileSystem) {
    const QString mountPoint = m_dir.filePath(QStringLiteral("small"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    const QByteArray point = QFile::encodeName(mountPoint);
    if (::mount("tmpfs", point.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "a small tmpfs cannot be mounted here: " << std::strerror(errno);
    struct Unmount {
        QByteArray at;
        ~Unmount() { ::umount(at.constData()); }
    } unmount{point};
    const QString path = mountPoint + QStringLiteral("/data.enc");
    VaultForm form(GetParam(), path);
    const QByteArray oldFile = form.start(vaultOf(300, "old")); // about a third of the space
    const vaultfile::Result r = form.save(vaultOf(1500, "new"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(testsupport::fileBytes(path), oldFile);
    EXPECT_TRUE(others(mountPoint).isEmpty());
    // Room again: the next save goes through.
    EXPECT_TRUE(form.save(vaultOf(301, "next")).ok);
    EXPECT_EQ(form.opened(testsupport::fileBytes(path)), vaultOf(301, "next"));
}

INSTANTIATE_TEST_SUITE_P(Forms, InterruptedSave, ::testing::Values(Form::Plain, Form::Sealed),
                         [](const ::testing::TestParamInfo<Form>& info) {
                             return info.param == Form::Plain ? "Plain" : "Sealed";
                         });

// Permissions do not stop root, so these checks run as an unprivileged user
// in a child process when the tests run as root.
TEST(SaveWithoutPermission, MeansAClearFailureAndNoChange) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("vault"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/data.enc");
    const QByteArray oldVault = vaultOf(2, "old");
    testsupport::writeBytes(path, oldVault);
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
    EXPECT_EQ(testsupport::fileBytes(path), oldVault);
    EXPECT_TRUE(others(folder).isEmpty());
}

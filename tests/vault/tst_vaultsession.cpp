// The vault session on real files: the life of one vault from its creation
// to a save, as the window and the command line go through it.
#include "VaultTestSupport.h"

#include "seal/SealedVault.h"
#include "vault/CryptText.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLock.h"
#include "vault/VaultSession.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <functional>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Failure = VaultSession::Failure;

QByteArray line(QByteArray plain) {
    return CryptText(plain) + "\r\n";
}

// Every byte a save writes, whichever file it goes to.
QByteArray g_written;

ssize_t recordingWrite(int fd, const void* data, size_t size) {
    g_written.append(static_cast<const char*>(data), static_cast<qsizetype>(size));
    return ::write(fd, data, size);
}

struct HooksReset {
    ~HooksReset() { vaultfile::saveHooks() = vaultfile::SaveHooks{}; }
};

} // namespace

TEST(VaultSession, FromANewVaultToASaveWithOneWriterAtATime) {
    QTemporaryDir dir;
    const QString path = dir.filePath("data.enc");

    VaultSession first(path);
    ASSERT_TRUE(first.open().ok());
    EXPECT_EQ(testsupport::fileBytes(path), QByteArray("\r\n")); // created as never used
    EXPECT_TRUE(first.storedPassword().isEmpty());
    EXPECT_FALSE(first.verify(QString()));

    // While one session holds the vault, no other opens it.
    VaultSession second(path);
    EXPECT_EQ(second.open().failure, Failure::Locked);

    // Entry lines behind an empty first line survive the new master password.
    first.releaseLock();
    testsupport::writeBytes(path, "\r\n" + line("u|||p|||l") + "\r\n");
    VaultSession creator(path);
    ASSERT_TRUE(creator.open().ok());
    EntryStore kept;
    ASSERT_TRUE(creator.createMaster(QStringLiteral("master"), kept).ok());
    EXPECT_EQ(testsupport::fileBytes(path), line("master") + line("u|||p|||l") + "\r\n");
    ASSERT_EQ(kept.size(), size_t(1));
    EXPECT_EQ(kept.field(0, EntryStore::Password), QStringLiteral("p"));
    EXPECT_TRUE(creator.verify(QStringLiteral("master")));
    EXPECT_FALSE(creator.verify(QStringLiteral("Master")));

    // A change made by another program is noticed before the next save.
    EXPECT_FALSE(creator.changedOutside());
    testsupport::writeBytes(path, line("master") + line("x|||y|||z") + "\r\n");
    EXPECT_TRUE(creator.changedOutside());
    EntryStore entries;
    ASSERT_TRUE(creator.loadEntries(entries).ok());
    EXPECT_FALSE(creator.changedOutside());
    entries.append(Entry{QStringLiteral("new"), QStringLiteral("pw"), QString()});
    QByteArray file = line("master");
    for (size_t s = 0; s < entries.size(); ++s)
        file += entries.line(s).toByteArray() + "\r\n";
    file += "\r\n";
    ASSERT_TRUE(creator.save(file).ok());
    EXPECT_EQ(testsupport::fileBytes(path),
              line("master") + line("x|||y|||z") + line("new|||pw|||") + "\r\n");
    EXPECT_FALSE(creator.changedOutside());
}

// A vault in a synced folder: while a session holds it, the folder holds the
// vault and its lock, under a name each sync engine keeps to this computer
// and with a time Syncthing's clean-up of old temporary files never reaches;
// a save there leaves no other file, and the lock goes with the session. A
// Keynook from before locked in the user's data folder, and one before that
// beside the vault: while one holds its lock the vault stays taken; a
// `.NAME.lock` left behind here is removed, one brought from another
// computer is left to that computer.
TEST(VaultSession, TheLockBesideTheVaultStaysHomeAndRespectsTheEarlierOnes) {
    QTemporaryDir dir;
    const QString path = dir.filePath("data.enc");
    testsupport::writeBytes(path, line("master") + "\r\n");
    const QByteArray real = vaultfile::realFilePath(path);
    const QString lock = QFile::decodeName(VaultLock::pathFor(real));
    const QString dotLock = QFile::decodeName(VaultLock::dotLockPathFor(real));
    const QString dataLock =
        QFile::decodeName(VaultLock::dataFolderPathFor(real, VaultLock::dataFolder()));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(dataLock).absolutePath()));
    const auto files = [&] { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); };
    struct Case {
        const char* held; // by this computer's earlier Keynook, or not
        QString at;
        QByteArray says;
        Failure opened;
        bool kept;
    };
    for (const Case& c :
         {Case{"held", dotLock, "4242\nkeynook\n\n", Failure::Locked, true},
          Case{"left here", dotLock, "4242\nkeynook\n\n", Failure::None, false},
          Case{"from elsewhere", dotLock, "4242\nkeynook\nlaptop\n", Failure::None, true},
          Case{"held in the data folder", dataLock, "4242\nkeynook\n\n", Failure::Locked, true},
          Case{"none", QString(), QByteArray(), Failure::None, false}}) {
        SCOPED_TRACE(c.held);
        int fd = -1;
        if (!c.says.isNull()) {
            testsupport::writeBytes(c.at, c.says);
            fd = ::open(QFile::encodeName(c.at).constData(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            if (QByteArray(c.held).startsWith("held")) {
                ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
            }
        }
        QStringList expected{QStringLiteral("data.enc")};
        if (c.kept && c.at == dotLock)
            expected.prepend(QStringLiteral(".data.enc.lock"));
        {
            VaultSession session(path);
            const VaultSession::Status opened = session.open();
            EXPECT_EQ(opened.failure, c.opened);
            if (opened.failure == Failure::Locked) {
                EXPECT_EQ(opened.why, QStringLiteral("keynook, process 4242"));
            }
            EXPECT_EQ(!c.at.isEmpty() && QFile::exists(c.at), c.kept);
            if (opened.ok()) {
                EXPECT_TRUE(session.holdsLock());
                EXPECT_TRUE(QFile::exists(dataLock)); // keeps a Keynook from before out
                const QFileInfo held(lock);
                EXPECT_EQ(::fnmatch("~syncthing~*.tmp",
                                    QFile::encodeName(held.fileName()).constData(), 0),
                          0);
                EXPECT_GT(held.lastModified(), QDateTime::currentDateTime().addYears(1));
                ASSERT_TRUE(session.save(line("master") + line("u|||p|||") + "\r\n").ok());
                QStringList withLock = expected;
                withLock.append(held.fileName());
                EXPECT_EQ(files(), withLock); // no temporary file left either
            }
        }
        EXPECT_EQ(files(), expected);
        if (fd >= 0)
            ::close(fd);
        if (!c.at.isEmpty())
            QFile::remove(c.at);
    }
}

// A sealed vault through the session: sealed from its plain bytes, saved
// under its key with a fresh nonce, its password changed under a new key,
// and unsealed to the bytes it held. Until it is unsealed, nothing written
// holds a password in any readable form, temporary files included. Keys cost
// the least libsodium allows: the defaults are the product's, and
// tst_sealedvault's stored sample proves them.
TEST(VaultSession, ASealedVaultStaysSealedThroughSavesAndAPasswordChange) {
    HooksReset reset;
    QTemporaryDir dir;
    const QString path = dir.filePath("data.enc");
    const sealedvault::SealParams cheap = sealedvault::ParamBounds::accepted().least;
    const QString master = QStringLiteral("first master 1");
    const QString newMaster = QStringLiteral("second master 2");
    const std::vector<Entry> entries = {{"me", "entry secret 1", "example.org"},
                                        {"you", "entry s\u00e9cret|||2", ""}};
    const QByteArray plain = vaultformat::savedFile(master, entries);
    testsupport::writeBytes(path, plain);

    VaultSession session(path);
    ASSERT_TRUE(session.open().ok());
    EXPECT_EQ(session.seal(QStringLiteral("not it"), cheap).failure, Failure::WrongPassword);
    EXPECT_EQ(testsupport::fileBytes(path), plain);

    g_written.clear();
    vaultfile::saveHooks().write = recordingWrite;
    ASSERT_TRUE(session.seal(master, cheap).ok());
    const QByteArray sealed = testsupport::fileBytes(path);
    EXPECT_EQ(sealedvault::unseal(sealed, master).plain, plain);

    // A save keeps the key (bytes 0 to 74) and draws a new nonce.
    std::vector<Entry> more = entries;
    more.push_back({"new", "entry secret 3", "x"});
    const QByteArray saved = vaultformat::savedFile(master, more);
    ASSERT_TRUE(session.save(saved).ok());
    const QByteArray resealed = testsupport::fileBytes(path);
    EXPECT_EQ(resealed.first(sealedvault::layout::kNonceAt),
              sealed.first(sealedvault::layout::kNonceAt));
    EXPECT_NE(resealed.sliced(sealedvault::layout::kNonceAt, sealedvault::layout::kNonceSize),
              sealed.sliced(sealedvault::layout::kNonceAt, sealedvault::layout::kNonceSize));
    EXPECT_EQ(sealedvault::unseal(resealed, master).plain, saved);

    // A new password: a new salt at the same cost; the old one opens nothing.
    ASSERT_TRUE(session.changeMaster(newMaster).ok());
    const QByteArray changed = testsupport::fileBytes(path);
    EXPECT_NE(changed.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize),
              sealed.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize));
    EXPECT_EQ(sealedvault::unseal(changed, master).outcome, sealedvault::Outcome::WrongPassword);
    sealedvault::Unsealed opened = sealedvault::unseal(changed, newMaster);
    EXPECT_EQ(opened.plain, vaultformat::withMasterLine(newMaster, saved));
    EXPECT_EQ(opened.key.params(), cheap);
    EXPECT_EQ(session.storedPassword(), newMaster);

    ASSERT_FALSE(g_written.isEmpty());
    EXPECT_EQ(testsupport::heldSecret(g_written, {master, newMaster, entries[0].password,
                                                  entries[1].password, more[2].password}),
              QString());

    // A session that never unlocked the vault has no key to save it with.
    session.releaseLock();
    {
        VaultSession other(path);
        ASSERT_TRUE(other.open().ok());
        ASSERT_TRUE(other.sealed());
        EXPECT_EQ(other.save(saved).failure, Failure::WrongPassword);
        EXPECT_EQ(other.changeMaster(master).failure, Failure::WrongPassword);
        EXPECT_EQ(testsupport::fileBytes(path), changed);
    }
    // Another that opens it has its entries read while it opens, and reads
    // them again with the key kept since.
    {
        VaultSession reader(path);
        ASSERT_TRUE(reader.open().ok());
        EXPECT_EQ(reader.unlock(master).failure, Failure::WrongPassword);
        ASSERT_TRUE(reader.unlock(newMaster).ok());
        for (int load = 0; load < 2; ++load) {
            EntryStore loaded;
            ASSERT_TRUE(reader.loadEntries(loaded).ok()) << load;
            ASSERT_EQ(loaded.size(), more.size());
            for (size_t i = 0; i < more.size(); ++i)
                EXPECT_EQ(loaded.entry(i), more[i]) << load;
            EXPECT_EQ(reader.masterLineAsRead(), vaultformat::encodeMasterLine(newMaster));
        }
    }

    ASSERT_TRUE(session.unseal().ok());
    EXPECT_EQ(testsupport::fileBytes(path), vaultformat::withMasterLine(newMaster, saved));
    EXPECT_FALSE(session.sealed());
}

// A session put away while its person is gone, for either form: what the
// window kept comes back sealed, in no readable form of any secret, and the
// session holds neither key nor master password, so it saves nothing; only
// the master password takes it back, to the same key and the same bytes.
TEST(VaultSession, PutAwayKeepsOnlyASealedCopyThatTheMasterPasswordTakesBack) {
    const sealedvault::SealParams cheap = sealedvault::ParamBounds::accepted().least;
    const QString master = QStringLiteral("away m\u00e4ster 7");
    const std::vector<Entry> entries = {{"me", "away secret 1", "example.org"},
                                        {"you", "away s\u00e9cret 2", ""}};
    const QByteArray plain = vaultformat::savedFile(master, entries);
    for (const bool sealed : {false, true}) {
        SCOPED_TRACE(sealed ? "sealed" : "plain");
        QTemporaryDir dir;
        const QString path = dir.filePath("data.enc");
        testsupport::writeBytes(path, plain);
        VaultSession session(path);
        ASSERT_TRUE(session.open().ok());
        if (sealed) {
            ASSERT_TRUE(session.seal(master, cheap).ok());
            ASSERT_TRUE(session.unlock(master).ok());
        }
        const QByteArray file = testsupport::fileBytes(path);
        // The window's list, which may differ from the file: one entry more.
        const QByteArray kept =
            plain + vaultformat::encodeEntryLine({"new", "away secret 3", ""}) + "\r\n";

        const QByteArray copy = session.putAway(kept, cheap);
        ASSERT_FALSE(copy.isEmpty());
        EXPECT_TRUE(session.away());
        EXPECT_TRUE(session.putAway(kept, cheap).isEmpty()) << "put away twice";
        EXPECT_EQ(testsupport::heldSecret(copy, {master, entries[0].password, entries[1].password,
                                                 QStringLiteral("away secret 3")}),
                  QString());
        EXPECT_TRUE(session.storedPassword().isEmpty());
        EXPECT_TRUE(session.masterLineAsRead().isEmpty());
        EXPECT_TRUE(session.key().isNull());
        EXPECT_EQ(session.save(kept).failure, Failure::WrongPassword);

        QByteArray back;
        EXPECT_EQ(session.takeBack(copy, QStringLiteral("away master 7"), back).failure,
                  Failure::WrongPassword);
        EXPECT_TRUE(session.away());
        EXPECT_TRUE(back.isEmpty());
        ASSERT_TRUE(session.takeBack(copy, master, back).ok());
        EXPECT_FALSE(session.away());
        EXPECT_EQ(back, kept);
        EXPECT_EQ(session.storedPassword(), master);
        EXPECT_EQ(session.masterLineAsRead(), vaultformat::encodeMasterLine(master));
        EXPECT_EQ(testsupport::fileBytes(path), file) << "nothing was written";
        ASSERT_TRUE(session.save(kept).ok());
        const QByteArray saved = testsupport::fileBytes(path);
        if (sealed) {
            // Under the same key: the salt the vault was sealed with.
            EXPECT_EQ(saved.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize),
                      file.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize));
            EXPECT_EQ(sealedvault::unseal(saved, master).plain, kept);
        } else {
            EXPECT_EQ(saved, kept);
        }
    }
}

namespace {

// In a child process: the test's ends of its pipes.
int g_tell = -1;
int g_go = -1;

void tell(const QByteArray& line) {
    const QByteArray text = line + '\n';
    (void)!::write(g_tell, text.constData(), size_t(text.size()));
}

void pauseBeforeTheRename(const char* step) {
    char go = 0;
    if (std::strcmp(step, "closed") == 0) {
        tell("saving");
        (void)!::read(g_go, &go, 1);
    }
}

// Another program on the vault (a window, keynook-cli): a process of its own,
// with its own environment, that tells the test what it finds a line at a
// time and waits where the test says.
class Writer {
public:
    explicit Writer(const std::function<void()>& work) {
        int out[2];
        int go[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(go, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            g_tell = out[1];
            g_go = go[0];
            work();
            ::_exit(0);
        }
        ::close(out[1]);
        ::close(go[0]);
        m_out = out[0];
        m_go = go[1];
    }
    ~Writer() {
        ::close(m_out);
        ::close(m_go);
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    QByteArray next() {
        QByteArray line;
        char c = 0;
        while (::read(m_out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    void go() { (void)!::write(m_go, "g", 1); }
    bool ended() {
        int status = -1;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_go = -1;
};

void writeText(const char* file, const QByteArray& text) {
    const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!::write(fd, text.constData(), size_t(text.size()));
        ::close(fd);
    }
}

// Mounts `from` on `to` for this process alone: in a mount namespace of its
// own, as root or in a user namespace of its own.
bool bindMount(const QString& from, const QString& to) {
    const QByteArray uid = QByteArray::number(::geteuid());
    const QByteArray gid = QByteArray::number(::getegid());
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        writeText("/proc/self/setgroups", "deny");
        writeText("/proc/self/uid_map", "0 " + uid + " 1");
        writeText("/proc/self/gid_map", "0 " + gid + " 1");
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(QFile::encodeName(from).constData(), QFile::encodeName(to).constData(), nullptr,
                   MS_BIND, nullptr) == 0;
}

enum class Reach { ByName, ThroughFolderLink, ThroughBindMount };

struct SecondWriter {
    const char* name;
    Reach reach;
    bool otherDataFolder;
    bool lockFileRemoved; // from under the first, as a person cleaning up might
};

void PrintTo(const SecondWriter& w, std::ostream* os) {
    *os << w.name;
}

class OneLockPerVault : public ::testing::TestWithParam<SecondWriter> {};

} // namespace

// Two programs on one vault, however the second reaches it: while the first
// holds it, the second is kept out and told who holds it, and nothing the
// second does removes the first's save in progress. Each program runs in a
// process of its own, with the data folder its environment gives it.
TEST_P(OneLockPerVault, KeepsASecondWriterOffASaveInProgress) {
    const SecondWriter& w = GetParam();
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("vault"));
    ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(dir.filePath(QStringLiteral("bind"))));
    ASSERT_TRUE(QFile::link(folder, dir.filePath(QStringLiteral("link"))));
    const QString path = folder + QStringLiteral("/data.enc");
    testsupport::writeBytes(path, line("master") + "\r\n");
    const QString second = w.reach == Reach::ByName ? path
                           : w.reach == Reach::ThroughFolderLink
                               ? dir.filePath(QStringLiteral("link/data.enc"))
                               : dir.filePath(QStringLiteral("bind/data.enc"));
    const QByteArray firstData = QFile::encodeName(dir.filePath(QStringLiteral("data-1")));
    const QByteArray secondData =
        w.otherDataFolder ? QFile::encodeName(dir.filePath(QStringLiteral("data-2"))) : firstData;
    const QByteArray saved = line("master") + line("first|||1|||") + "\r\n";

    Writer first([&] {
        ::setenv("XDG_DATA_HOME", firstData.constData(), 1);
        VaultSession session(path);
        if (const VaultSession::Status s = session.open(); !s.ok())
            return tell("not opened: " + s.why.toUtf8());
        vaultfile::saveHooks().step = pauseBeforeTheRename;
        const VaultSession::Status s = session.save(saved);
        tell(s.ok() ? QByteArray("saved") : "not saved: " + s.why.toUtf8());
    });
    ASSERT_EQ(first.next(), "saving");
    const QStringList inProgress =
        QDir(folder).entryList({QStringLiteral("~syncthing~.data.enc.new-*")}, QDir::Files);
    ASSERT_EQ(inProgress.size(), 1);
    if (w.lockFileRemoved) {
        ASSERT_TRUE(
            QFile::remove(QFile::decodeName(VaultLock::pathFor(vaultfile::realFilePath(path)))));
    }

    Writer other([&] {
        ::setenv("XDG_DATA_HOME", secondData.constData(), 1);
        if (w.reach == Reach::ThroughBindMount && !bindMount(folder, dir.filePath("bind")))
            return tell("-1");
        VaultSession session(second);
        const VaultSession::Status s = session.open();
        tell(QByteArray::number(int(s.failure)) + '\n' + s.why.toUtf8());
    });
    const int failure = other.next().toInt();
    if (failure < 0)
        GTEST_SKIP() << "no bind mount can be made here";
    const QString why = QString::fromUtf8(other.next());
    EXPECT_TRUE(other.ended());
    if (w.lockFileRemoved) {
        EXPECT_EQ(Failure(failure), Failure::None) << why.toStdString();
    } else {
        EXPECT_EQ(Failure(failure), Failure::Locked);
        EXPECT_TRUE(why.endsWith(QStringLiteral(", process %1").arg(first.pid())))
            << why.toStdString();
    }
    EXPECT_TRUE(QFile::exists(folder + '/' + inProgress[0]));
    first.go();
    EXPECT_EQ(first.next(), "saved");
    EXPECT_TRUE(first.ended());
    EXPECT_EQ(testsupport::fileBytes(path), saved);
    // Each let go of its lock as it ended, and removed it.
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{QStringLiteral("data.enc")});
}

INSTANTIATE_TEST_SUITE_P(
    Reaches, OneLockPerVault,
    ::testing::Values(SecondWriter{"ByNameFromAnotherDataFolder", Reach::ByName, true, false},
                      SecondWriter{"ThroughALinkedFolderFromAnotherDataFolder",
                                   Reach::ThroughFolderLink, true, false},
                      SecondWriter{"ThroughABindMount", Reach::ThroughBindMount, false, false},
                      SecondWriter{"AfterTheLockFileWasRemoved", Reach::ByName, true, true}),
    [](const ::testing::TestParamInfo<SecondWriter>& info) { return info.param.name; });

// A vault in a folder that takes no new file from its user takes no save
// either, so no Keynook of that user writes it there: it still opens, under
// the data folder's lock alone. Permissions do not stop root, so the session
// runs as an unprivileged user when the tests run as root.
TEST(VaultSession, AFolderThatTakesNoFileStillOpensTheVault) {
    QTemporaryDir dir;
    const QByteArray folder = QFile::encodeName(dir.filePath(QStringLiteral("vault")));
    const QByteArray data = QFile::encodeName(dir.filePath(QStringLiteral("data")));
    ASSERT_TRUE(QDir().mkpath(QFile::decodeName(folder)) && QDir().mkpath(QFile::decodeName(data)));
    const QString path = QFile::decodeName(folder) + QStringLiteral("/data.enc");
    testsupport::writeBytes(path, line("master") + "\r\n");
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    Writer reader([&] {
        const QByteArray vault = QFile::encodeName(path);
        if (::geteuid() == 0 && (::chown(folder.constData(), 65534, 65534) != 0 ||
                                 ::chown(vault.constData(), 65534, 65534) != 0 ||
                                 ::chown(data.constData(), 65534, 65534) != 0 ||
                                 ::setgid(65534) != 0 || ::setuid(65534) != 0))
            return tell("not another user");
        ::chmod(folder.constData(), 0555);
        ::setenv("XDG_DATA_HOME", data.constData(), 1);
        VaultSession session(path);
        const VaultSession::Status s = session.open();
        tell(QByteArray::number(int(s.failure)) + ' ' + QByteArray::number(session.holdsLock()));
    });
    EXPECT_EQ(reader.next(), QByteArray::number(int(Failure::None)) + " 1");
    EXPECT_TRUE(reader.ended());
    ::chmod(folder.constData(), 0700);
}

// The states of a vault this computer saw and its backups: kept the user's
// alone, restorable, a vault that lost its contents told from a new one, and
// a history that others could change left alone.
#include "VaultTestSupport.h"

#include "seal/SealedVault.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultHistory.h"
#include "vault/VaultSession.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The history keeps the newest states, each once, the user's alone, in
// folders it makes the user's alone from Keynook's own down.
TEST(VaultHistory, KeepsTheNewestStatesPrivately) {
    QTemporaryDir data;
    ASSERT_TRUE(data.isValid());
    const QString keynook = data.filePath(QStringLiteral("share/Keynook"));
    VaultHistory history(keynook, "/somewhere/data.enc");
    const int recorded = VaultHistory::kKept + 5;
    for (int i = 0; i < recorded; ++i) {
        const QByteArray state = QByteArray::number(i);
        ASSERT_TRUE(history.record({state}, i % 2 == 0));
        ASSERT_TRUE(history.record({state}, false)); // read back unchanged: no new state
    }
    const std::vector<VaultHistory::State> states = history.states();
    ASSERT_EQ(states.size(), size_t(VaultHistory::kKept));
    for (size_t k = 0; k < states.size(); ++k) {
        const int i = recorded - VaultHistory::kKept + static_cast<int>(k);
        QFile f(states[k].path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), QByteArray::number(i));
        EXPECT_EQ(states[k].written, i % 2 == 0);
        EXPECT_EQ(f.permissions() & 0x0FFF, QFileDevice::ReadUser | QFileDevice::WriteUser);
    }
    for (QString folder = history.folder(); folder.startsWith(keynook);
         folder = QFileInfo(folder).path())
        EXPECT_EQ(QFileInfo(folder).permissions() & 0x0FFF,
                  QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser)
            << folder.toStdString();
}

QByteArray fileAt(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// The last backups of the vault are kept apart from the conflict copies, each
// the vault's bytes exactly and the user's alone, and everything kept is
// restorable once, newest first, but for what the vault holds now.
TEST(VaultHistory, KeepsTheLastBackupsApartFromConflictCopies) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString vault = dir.filePath(QStringLiteral("data.enc"));
    const QString copy = dir.filePath(QStringLiteral("data.sync-conflict-20261207-1-ABC.enc"));
    VaultHistory history(dir.filePath(QStringLiteral("data")), QFile::encodeName(vault));
    const int made = VaultHistory::kKeptBackups + 3;
    auto version = [](int i) { return "M\r\n" + QByteArray::number(i) + "\r\n"; };
    for (int i = 0; i < made; ++i) {
        writeFile(vault, version(i));
        history.record({version(i)}, false); // read, then kept before a rewrite
        ASSERT_TRUE(history.keepVaultBackup(vault, i % 2 ? VaultHistory::Why::Import
                                                         : VaultHistory::Why::Password));
        writeFile(copy, "C\r\n" + QByteArray::number(i) + "\r\n");
        ASSERT_TRUE(history.keepBackup(copy));
    }
    // Each version once, the newest as a backup with its reason, the older
    // ones as the states they were read as; the copies apart.
    const std::vector<VaultHistory::Restorable> rows = history.restorable(version(made));
    std::vector<VaultHistory::Restorable> versions;
    size_t copies = 0;
    for (const VaultHistory::Restorable& r : rows) {
        EXPECT_EQ(QFileInfo(r.path).permissions() & 0x0FFF,
                  QFileDevice::ReadUser | QFileDevice::WriteUser);
        if (r.why == VaultHistory::Why::ConflictCopy) {
            EXPECT_EQ(fileAt(r.path),
                      "C\r\n" + QByteArray::number(made - 1 - int(copies++)) + "\r\n");
        } else {
            versions.push_back(r);
        }
    }
    EXPECT_EQ(copies, size_t(VaultHistory::kKeptBackups));
    ASSERT_EQ(versions.size(), size_t(made));
    for (int k = 0; k < made; ++k) {
        const int i = made - 1 - k;
        EXPECT_EQ(fileAt(versions[k].path), version(i));
        EXPECT_EQ(versions[k].why, k >= VaultHistory::kKeptVaultBackups ? VaultHistory::Why::Read
                                   : i % 2                              ? VaultHistory::Why::Import
                                           : VaultHistory::Why::Password);
    }
    // What the vault holds now is no restore.
    EXPECT_EQ(history.restorable(version(made - 1)).size(), rows.size() - 1);
}

// A vault file found empty or without its first line, where this computer
// last saw a master password or entries, is lost, not new: it is not kept as
// a state, so every later start finds the loss again. A vault never seen with
// either, or one missing (deleted on purpose), starts as a new one, and
// after that its never-used file is what was last seen.
TEST(VaultHistory, AVaultThatLostItsContentsIsNotANewOne) {
    const QByteArray entries =
        testsupport::flipped("m1") + "\r\n" + testsupport::flipped("a|||b|||c") + "\r\n";
    sealedvault::SealKey key =
        sealedvault::deriveKey(QStringLiteral("m1"), sealedvault::ParamBounds::accepted().least);
    const QByteArray missing = "(missing)";
    const struct {
        QByteArray seen; // empty: nothing seen
        QByteArray now;
        bool lost;
    } rows[] = {
        {{}, "", false},
        {"\r\n", "", false},
        {"\r\n" + testsupport::flipped("a|||b|||c") + "\r\n", "", true},
        {entries, "", true},
        {entries, "\r\n" + testsupport::flipped("a|||b|||c") + "\r\n", true},
        {testsupport::flipped("m1") + "\r\n", "\r\n", true},
        {sealedvault::seal(entries, key), "", true},
        {entries, missing, false},
        {entries, entries + testsupport::flipped("d|||e|||f") + "\r\n", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seen.toHex().toStdString() + " now " + row.now.toHex().toStdString());
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString vault = dir.filePath(QStringLiteral("data.enc"));
        if (row.now != missing)
            writeFile(vault, row.now);
        const QByteArray real = vaultfile::realFilePath(vault);
        {
            VaultHistory history(dir.filePath(QStringLiteral("data")), real);
            if (!row.seen.isEmpty()) {
                ASSERT_TRUE(history.record({row.seen}, true));
            }
            VaultSession session(vault);
            history.follow(session);
            ASSERT_TRUE(session.open().ok());
            EXPECT_EQ(history.lost().has_value(), row.lost);
            if (row.lost) {
                // A file without a master password is never put back.
                EXPECT_EQ(history.lost()->restoreNumber,
                          vaultformat::masterLineOf(row.seen).isEmpty() ? 0 : 1);
                EXPECT_EQ(history.lost()->empty, row.now.isEmpty());
                EXPECT_EQ(fileAt(vault), row.now);
            }
        }
        // The next start finds the same, and what was last seen stays.
        VaultHistory again(dir.filePath(QStringLiteral("data")), real);
        VaultSession session(vault);
        again.follow(session);
        ASSERT_TRUE(session.open().ok());
        EXPECT_EQ(again.lost().has_value(), row.lost);
        ASSERT_FALSE(again.states().empty());
        EXPECT_EQ(fileAt(again.states().back().path), row.lost             ? row.seen
                                                      : row.now == missing ? "\r\n"
                                                                           : row.now);
    }
}

// Everything under `folder` as lstat() sees it, links not followed, with the
// bytes of the smaller files.
std::map<QString, QByteArray> everythingIn(const QString& folder) {
    std::map<QString, QByteArray> all;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0);
        QByteArray seen = QByteArray::number(st.st_mode) + ' ' + QByteArray::number(st.st_uid) +
                          ' ' + QByteArray::number(qint64(st.st_size)) + ' ' +
                          QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.' +
                          QByteArray::number(qint64(st.st_mtim.tv_nsec)) + ' ' +
                          QFile::encodeName(QFileInfo(path).symLinkTarget()) + ' ';
        if (S_ISREG(st.st_mode) && st.st_size < 4096)
            seen += fileAt(path);
        all[path] = seen;
    }
    return all;
}

// A history that others could change, or that holds what no history writes,
// is not used: nothing in it is read, written or removed, a file it links to
// is never opened, and the vault is used without it. The first row, a
// history of the user's own, is used.
TEST(VaultHistory, AHistoryNotTheUsersAloneIsNotUsed) {
    enum Spoil { None, LinkedHistory, LinkedBackups, GroupWrites, OthersWrite, Owner, Large, Link };
    const struct {
        Spoil spoil;
        const char* why;
    } rows[] = {
        {None, ""},
        {LinkedHistory, "is a symbolic link"},
        {LinkedBackups, "is a symbolic link"},
        {GroupWrites, "other users can write to"},
        {OthersWrite, "other users can write to"},
        {Owner, "belongs to another user"},
        {Large, "is larger than any vault Keynook writes"},
        {Link, "000000000009-r.enc is a symbolic link"},
    };
    const QByteArray vaultFile =
        testsupport::flipped("m1") + "\r\n" + testsupport::flipped("a|||b|||c") + "\r\n";
    const sealedvault::SealKey key =
        sealedvault::deriveKey(QStringLiteral("m1"), sealedvault::ParamBounds::accepted().least);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        if (row.spoil == Owner && ::geteuid() != 0)
            continue; // only root gives a folder to another user
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString vault = dir.filePath(QStringLiteral("data.enc"));
        writeFile(vault, vaultFile);
        VaultHistory history(dir.filePath(QStringLiteral("data/Keynook")),
                             vaultfile::realFilePath(vault));
        ASSERT_TRUE(history.record({vaultFile}, false));
        ASSERT_TRUE(history.keepVaultBackup(vault, VaultHistory::Why::Import));
        const QByteArray own = QFile::encodeName(history.folder());
        const QByteArray backups = own + "/backups";
        const QByteArray elsewhere = QFile::encodeName(dir.filePath(QStringLiteral("elsewhere")));
        ASSERT_EQ(::mkdir(elsewhere.constData(), 0700), 0);
        writeFile(QFile::decodeName(elsewhere + "/key"), "another program's key");
        const auto moveAway = [&](const QByteArray& folder) {
            ASSERT_EQ(::rename(folder.constData(), (elsewhere + "/moved").constData()), 0);
            ASSERT_EQ(::symlink((elsewhere + "/moved").constData(), folder.constData()), 0);
        };
        switch (row.spoil) {
        case None:
            break;
        case LinkedHistory:
            moveAway(own);
            break;
        case LinkedBackups:
            moveAway(backups);
            break;
        case GroupWrites:
            ASSERT_EQ(::chmod(own.constData(), 0770), 0);
            break;
        case OthersWrite:
            ASSERT_EQ(::chmod(backups.constData(), 0703), 0);
            break;
        case Owner:
            ASSERT_EQ(::chown(own.constData(), 1, 1), 0);
            break;
        case Large: {
            const int fd = ::open((backups + "/20000101-000000000-import.backup").constData(),
                                  O_WRONLY | O_CREAT | O_EXCL, 0600);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(::ftruncate(fd, vaultfile::kMaxVaultBytes + 1), 0);
            ::close(fd);
            break;
        }
        case Link:
            ASSERT_EQ(::symlink((elsewhere + "/key").constData(),
                                (own + "/000000000009-r.enc").constData()),
                      0);
            break;
        }
        // The vault's folder, apart: its lock and the saves change it.
        const auto both = [&] {
            std::map<QString, QByteArray> all = everythingIn(dir.filePath(QStringLiteral("data")));
            all.merge(everythingIn(QFile::decodeName(elsewhere)));
            return all;
        };
        const std::map<QString, QByteArray> before = both();
        EXPECT_TRUE(history.untrusted().contains(QLatin1String(row.why)))
            << history.untrusted().toStdString();
        EXPECT_EQ(history.untrusted().isEmpty(), row.spoil == None);
        {
            // The vault opens and saves all the same.
            VaultSession session(vault);
            history.follow(session);
            ASSERT_TRUE(session.open().ok());
            ASSERT_TRUE(session.save(vaultFile + testsupport::flipped("d|||e|||f") + "\r\n").ok());
        }
        EXPECT_EQ(history.keepVaultBackup(vault, VaultHistory::Why::Merge), row.spoil == None);
        EXPECT_EQ(history.restorable({}).empty(), row.spoil != None);
        EXPECT_EQ(history.sealKept(key, QStringLiteral("m1")).untrusted, history.untrusted());
        EXPECT_EQ(both() == before, row.spoil != None);
    }
}

} // namespace

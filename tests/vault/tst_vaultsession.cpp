// The vault session on real files: the life of one vault from its creation
// to a save, as the window and the command line go through it.
#include "vault/CryptText.h"
#include "vault/VaultFormat.h"
#include "vault/VaultSession.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Failure = VaultSession::Failure;

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray line(QByteArray plain) {
    return CryptText(plain) + "\r\n";
}

} // namespace

TEST(VaultSession, FromANewVaultToASaveWithOneWriterAtATime) {
    QTemporaryDir dir;
    const QString path = dir.filePath("data.enc");

    VaultSession first(path);
    ASSERT_TRUE(first.open().ok());
    EXPECT_EQ(fileBytes(path), QByteArray("\r\n")); // created as never used
    EXPECT_TRUE(first.storedPassword().isEmpty());
    EXPECT_FALSE(first.verify(QString()));

    // While one session holds the vault, no other opens it.
    VaultSession second(path);
    EXPECT_EQ(second.open().failure, Failure::Locked);

    // Entry lines behind an empty first line survive the new master password.
    first.releaseLock();
    writeBytes(path, "\r\n" + line("u|||p|||l") + "\r\n");
    VaultSession creator(path);
    ASSERT_TRUE(creator.open().ok());
    EntryStore kept;
    ASSERT_TRUE(creator.createMaster(QStringLiteral("master"), kept).ok());
    EXPECT_EQ(fileBytes(path), line("master") + line("u|||p|||l") + "\r\n");
    ASSERT_EQ(kept.size(), size_t(1));
    EXPECT_EQ(kept.field(0, EntryStore::Password), QStringLiteral("p"));
    EXPECT_TRUE(creator.verify(QStringLiteral("master")));
    EXPECT_FALSE(creator.verify(QStringLiteral("Master")));

    // A change made by another program is noticed before the next save.
    EXPECT_FALSE(creator.changedOutside());
    writeBytes(path, line("master") + line("x|||y|||z") + "\r\n");
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
    EXPECT_EQ(fileBytes(path), line("master") + line("x|||y|||z") + line("new|||pw|||") + "\r\n");
    EXPECT_FALSE(creator.changedOutside());
}

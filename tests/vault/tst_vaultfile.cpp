#include "FileSizeLimit.h"
#include "VaultTestSupport.h"

#include "vault/VaultFile.h"

#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

QByteArray sampleData(qsizetype size) {
    QByteArray out(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 7 + 3) % 256);
    return out;
}

void writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        << file.errorString().toStdString();
    ASSERT_EQ(file.write(data), data.size());
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

unsigned modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

// Everything in the folder, hidden files included: a temporary file left
// behind by a save shows up here.
QStringList folderContents(const QTemporaryDir& dir) {
    return QDir(dir.path())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                   QDir::Name);
}

// --- readAll ---------------------------------------------------------------------

TEST(VaultFileRead, MissingFileIsAnErrorWithAText) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const vaultfile::ReadResult r = vaultfile::readAll(dir.filePath("data.enc"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_TRUE(r.data.isEmpty());
}

TEST(VaultFileRead, FolderIsAnErrorWithAText) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkdir("data.enc"));
    const vaultfile::ReadResult r = vaultfile::readAll(dir.filePath("data.enc"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_TRUE(r.data.isEmpty());
}

TEST(VaultFileRead, ReadsEveryByteOfAFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    const QByteArray data = sampleData(100'000);
    writeFile(path, data);
    const vaultfile::ReadResult r = vaultfile::readAll(path);
    EXPECT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.data, data);
}

TEST(VaultFileRead, EmptyFileReadsAsNoBytes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    writeFile(path, QByteArray());
    const vaultfile::ReadResult r = vaultfile::readAll(path);
    EXPECT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_TRUE(r.data.isEmpty());
}

// --- saveAtomically --------------------------------------------------------------

TEST(VaultFileSave, NewFileIsTheOwnersAlone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    const vaultfile::Result r = vaultfile::saveAtomically(path, QByteArray("abc\r\n"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(fileBytes(path), QByteArray("abc\r\n"));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(folderContents(dir), QStringList{"data.enc"});
}

TEST(VaultFileSave, EverySaveLeavesTheFileTheOwnersAlone) {
    // Whatever the file allowed before, others lose it with the next save.
    for (unsigned before : {0644u, 0666u, 0640u, 0604u, 0600u}) {
        SCOPED_TRACE(testing::Message() << std::oct << "mode before 0" << before);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString path = dir.filePath("data.enc");
        writeFile(path, QByteArray("old"));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), before), 0);
        const vaultfile::Result r = vaultfile::saveAtomically(path, QByteArray("new"));
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_EQ(fileBytes(path), QByteArray("new"));
        EXPECT_EQ(modeOf(path), 0600u);
    }
}

TEST(VaultFileSave, ReplacesTheWholeContentAndLeavesNoTemporaryFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    writeFile(path, sampleData(50'000));
    const vaultfile::Result r = vaultfile::saveAtomically(path, QByteArray("short\r\n\r\n"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(fileBytes(path), QByteArray("short\r\n\r\n"));
    EXPECT_EQ(folderContents(dir), QStringList{"data.enc"});

    const QByteArray longer = sampleData(300'000);
    ASSERT_TRUE(vaultfile::saveAtomically(path, longer).ok);
    EXPECT_EQ(fileBytes(path), longer);
    EXPECT_EQ(folderContents(dir), QStringList{"data.enc"});

    ASSERT_TRUE(vaultfile::saveAtomically(path, QByteArray()).ok);
    EXPECT_TRUE(fileBytes(path).isEmpty());
    EXPECT_EQ(folderContents(dir), QStringList{"data.enc"});
}

TEST(VaultFileSave, ReplacesTheFileInsteadOfRewritingItInPlace) {
    // A reader that opened the old file keeps seeing the old bytes: the new
    // vault arrives as a whole new file, never as a half-written old one.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    writeFile(path, QByteArray("old vault"));
    QFile before(path);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    ASSERT_TRUE(vaultfile::saveAtomically(path, QByteArray("new vault, longer")).ok);
    EXPECT_EQ(before.readAll(), QByteArray("old vault"));
    EXPECT_EQ(fileBytes(path), QByteArray("new vault, longer"));
}

TEST(VaultFileSave, MissingFolderIsAnErrorWithAText) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const vaultfile::Result r =
        vaultfile::saveAtomically(dir.filePath("gone/data.enc"), QByteArray("abc"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_TRUE(folderContents(dir).isEmpty());
}

// --- createFile ------------------------------------------------------------------

TEST(VaultFileCreate, CreatesTheFileForItsOwnerOnly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    const vaultfile::Result r = vaultfile::createFile(path, QByteArray("\r\n"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(fileBytes(path), QByteArray("\r\n"));
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST(VaultFileCreate, RefusesToOverwriteAnExistingFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    writeFile(path, QByteArray("precious"));
    const vaultfile::Result r = vaultfile::createFile(path, QByteArray("\r\n"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_EQ(fileBytes(path), QByteArray("precious"));
}

TEST(VaultFileCreate, MissingFolderIsAnErrorWithAText) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const vaultfile::Result r =
        vaultfile::createFile(dir.filePath("gone/data.enc"), QByteArray("\r\n"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
}

// --- A save that the system refuses half-way ------------------------------------

class VaultFileSizeLimit : public testing::TestWithParam<qsizetype> {};

TEST_P(VaultFileSizeLimit, FailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    const QByteArray old = sampleData(1000);
    writeFile(path, old);
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);

    vaultfile::Result r;
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.active());
        r = vaultfile::saveAtomically(path, sampleData(GetParam()));
    }
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_EQ(fileBytes(path), old);
    EXPECT_EQ(modeOf(path), 0640u);
    EXPECT_EQ(folderContents(dir), QStringList{"data.enc"});

    // With the limit gone the same save goes through.
    const QByteArray data = sampleData(GetParam());
    ASSERT_TRUE(vaultfile::saveAtomically(path, data).ok);
    EXPECT_EQ(fileBytes(path), data);
}

// Just past the limit, past any write buffer, and far past it: the failure may
// show in a write or only when the buffered rest is flushed at the end.
INSTANTIATE_TEST_SUITE_P(Sizes, VaultFileSizeLimit,
                         testing::Values(qsizetype(4097), qsizetype(10'000), qsizetype(70'000),
                                         qsizetype(1'000'000)));

TEST(VaultFileSizeLimitOther, SaveWithinTheLimitSucceeds) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    writeFile(path, QByteArray("old"));
    const QByteArray data = sampleData(4000);
    vaultfile::Result r;
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.active());
        r = vaultfile::saveAtomically(path, data);
    }
    EXPECT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(fileBytes(path), data);
    EXPECT_EQ(folderContents(dir), QStringList{"data.enc"});
}

TEST(VaultFileSizeLimitOther, FailedCreateLeavesNoFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data.enc");
    vaultfile::Result r;
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.active());
        r = vaultfile::createFile(path, sampleData(10'000));
    }
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_TRUE(folderContents(dir).isEmpty());
}

// --- FileExists and GetFileName -------------------------------------------------

TEST(VaultFileExists, FindsAnOrdinaryVisibleFileIgnoringTheCaseOfItsName) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* name :
         {"data.enc", "Notes.TXT", "twin.enc", "TWIN.enc", "BOTH.ENC", "star*.enc", ".hidden"})
        writeFile(dir.filePath(name), QByteArray("\r\n"));
    writeFile(dir.filePath("empty.enc"), QByteArray());
    for (const char* name : {"Folder", "both.enc"})
        ASSERT_TRUE(QDir(dir.path()).mkdir(name));

    const struct {
        const char* asked;
        const char* found; // the name found in the folder, or null
    } rows[] = {
        {"data.enc", "data.enc"},
        {"DATA.ENC", "data.enc"},
        {"notes.txt", "Notes.TXT"},
        {"empty.enc", "empty.enc"},
        {"twin.enc", "twin.enc"},
        {"TWIN.enc", "TWIN.enc"},
        {"both.enc", "BOTH.ENC"},
        {"star*.enc", "star*.enc"},
        {"STAR*.ENC", "star*.enc"},
        {"folder", nullptr},
        {"Folder", nullptr},
        {".hidden", nullptr},
        {".HIDDEN", nullptr},
        {"*.enc", nullptr},
        {"d?ta.enc", nullptr},
        {"DATA.*", nullptr},
        {"*", nullptr},
        {"missing.enc", nullptr},
        {"gone/data.enc", nullptr},
        {"data.enc/", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.asked);
        const QString path = dir.filePath(row.asked);
        const QString found = row.found ? dir.filePath(row.found) : QString();
        EXPECT_EQ(vaultfile::findFileIgnoringCase(path), found);
        EXPECT_EQ(vaultfile::FileExists(path), row.found != nullptr);
    }
    // Two names differing only in case: either is found for a third spelling.
    const QString twin = vaultfile::findFileIgnoringCase(dir.filePath("Twin.Enc"));
    EXPECT_TRUE(twin == dir.filePath("twin.enc") || twin == dir.filePath("TWIN.enc"))
        << testing::PrintToString(twin);
    EXPECT_FALSE(vaultfile::FileExists(QString()));
}

TEST(VaultFileExists, GetFileNameTakesThePartAfterTheLastSeparator) {
    EXPECT_EQ(vaultfile::GetFileName(QString()), QString());
    EXPECT_EQ(vaultfile::GetFileName("data.enc"), QStringLiteral("data.enc"));
    EXPECT_EQ(vaultfile::GetFileName("/home/u/app/data.enc"), QStringLiteral("data.enc"));
    EXPECT_EQ(vaultfile::GetFileName("C:\\Program Files\\app\\data.enc"),
              QStringLiteral("data.enc"));
    EXPECT_EQ(vaultfile::GetFileName("C:\\dir/sub\\data.enc"), QStringLiteral("data.enc"));
    EXPECT_EQ(vaultfile::GetFileName("a\\b/data.enc"), QStringLiteral("data.enc"));
    EXPECT_EQ(vaultfile::GetFileName("folder/"), QString());
    EXPECT_EQ(vaultfile::GetFileName("\\"), QString());
}

} // namespace

// What keeps the vault safe around the edges: one program at a time on a
// vault, changes made by other programs, and what an interrupted save left.
#include "support/TestSupport.h"

#include "dialogs/frmAdd.h"
#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/modGlobals.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLock.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QLockFile>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::unique_ptr<Program> secondCopy(const Harness& first, RecordingBoxes*& boxes) {
    Program::Options options;
    options.vaultFolder = first.folder();
    options.programFolder = first.folder();
    auto b = std::make_unique<RecordingBoxes>();
    boxes = b.get();
    options.boxes = std::move(b);
    options.settings = std::make_unique<QtSettingsStore>(QStringLiteral("keynook-test-second"),
                                                         QStringLiteral("Keynook"));
    options.shell = std::make_unique<RecordingShell>();
    options.system = std::make_unique<FakeSystem>();
    return std::make_unique<Program>(std::move(options));
}

// Where a Keynook from before locked the vault: beside it.
QString lockPath(const Harness& h) {
    return h.folder() + QStringLiteral("/.data.enc.lock");
}

// Where the vault's lock is now.
QString ownLockPath(const Harness& h) {
    return h.folder() + '/' + h.lockName();
}

// Everything in a folder, hidden files included.
QStringList folderContents(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

constexpr uid_t kNobody = 65534;

// The folder, mounted over itself read-only for as long as this lives: what a
// CD or a write-protected stick is to the program.
class ReadOnlyMount {
public:
    explicit ReadOnlyMount(const QString& folder) : m_at(QFile::encodeName(folder)) {
        const char* at = m_at.constData();
        m_mounted = ::mount(at, at, nullptr, MS_BIND, nullptr) == 0;
        if (m_mounted &&
            ::mount(nullptr, at, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0)
            return;
        m_error = errno;
        if (m_mounted)
            ::umount2(at, MNT_DETACH);
        m_mounted = false;
    }
    ~ReadOnlyMount() {
        if (m_mounted)
            ::umount2(m_at.constData(), MNT_DETACH);
    }
    ReadOnlyMount(const ReadOnlyMount&) = delete;
    ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;

    bool ok() const { return m_mounted; }
    QString error() const { return QString::fromLocal8Bit(std::strerror(m_error)); }

private:
    QByteArray m_at;
    bool m_mounted = false;
    int m_error = 0;
};

bool giveTo(const QString& path, uid_t owner, mode_t mode) {
    const QByteArray p = QFile::encodeName(path);
    return ::chown(p.constData(), owner, static_cast<gid_t>(-1)) == 0 &&
           ::chmod(p.constData(), mode) == 0;
}

} // namespace

class TestSafety : public QObject {
    Q_OBJECT

private slots:
    void secondCopyOnTheSameVaultEndsWithoutTouchingIt();
    void lockHeldByAnotherLiveProcessBlocks();
    void lockThatNobodyHoldsDoesNotBlock_data();
    void lockThatNobodyHoldsDoesNotBlock();
    void changeByAnotherProgramIsNotOverwrittenUnasked();
    void leftoversOfAnInterruptedSaveAreRemovedAtStart();
    void vaultAnotherUserCouldReachIsRefused_data();
    void vaultAnotherUserCouldReachIsRefused();
    void oversizedVaultIsRefusedUnread();
    void vaultEmptiedByAccidentIsNotTakenForANewOne();
    void lockThatIsNotAPlainFileEndsWithoutTouchingTheVault_data();
    void lockThatIsNotAPlainFileEndsWithoutTouchingTheVault();
    void vaultOnReadOnlyMediumOpensButTakesNoChange_data();
    void vaultOnReadOnlyMediumOpensButTakesNoChange();
    void storedVaultsLoadAndSaveToTheirExpectedBytes_data();
    void storedVaultsLoadAndSaveToTheirExpectedBytes();
};

void TestSafety::secondCopyOnTheSameVaultEndsWithoutTouchingIt() {
    Harness h;
    Form1* main = h.open({"a|||1|||"});
    QVERIFY(main);
    const QByteArray before = h.vaultBytes();

    RecordingBoxes* boxes = nullptr;
    std::unique_ptr<Program> second = secondCopy(h, boxes);
    second->loadMainWindow();
    QVERIFY(second->ended());
    QCOMPARE(boxes->shown.size(), size_t(1));
    QVERIFY(boxes->shown[0].text.contains(QStringLiteral("already open")));
    QVERIFY(!second->loaded<frmPass>());
    QCOMPARE(h.vaultBytes(), before);
    second.reset();
    Harness::flushDeletes();

    // The first copy goes on as before, and saves.
    main->entries().append(Entry{QStringLiteral("b"), QStringLiteral("2"), QString()});
    QVERIFY(SaveData(h.program()));
    QVERIFY(h.boxes().shown.empty());

    // Once it has ended, the vault can be opened again.
    main->close();
    QVERIFY(h.program().ended());
    h.program().vault->releaseLock();
    second = secondCopy(h, boxes);
    second->loadMainWindow();
    QVERIFY(!second->ended());
    QVERIFY(second->loaded<frmPass>());
}

void TestSafety::lockHeldByAnotherLiveProcessBlocks() {
    Harness h;
    h.writeVault(cipherLine("master") + "\r\n");
    const QByteArray before = h.vaultBytes();
    int ready[2];
    int done[2];
    QVERIFY(::pipe(ready) == 0 && ::pipe(done) == 0);
    const pid_t child = fork();
    if (child == 0) {
        // Another copy of the program: it holds the lock until told to stop.
        QLockFile lock(lockPath(h));
        const char ok = lock.tryLock(0) ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        char stop = 0;
        (void)!::read(done[0], &stop, 1);
        _exit(0);
    }
    char ok = 0;
    QCOMPARE(::read(ready[0], &ok, 1), ssize_t(1));
    QCOMPARE(ok, 'y');
    h.program().loadMainWindow();
    const char stop = 's';
    (void)!::write(done[1], &stop, 1);
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        ::close(fd);
    QVERIFY(h.program().ended());
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    // The holder, a Keynook from before this lock, is named by its process.
    QVERIFY(h.boxes().shown[0].text.contains(QStringLiteral("already open")));
    QVERIFY(h.boxes().shown[0].text.contains(QStringLiteral("process %1").arg(child)));
    QCOMPARE(h.vaultBytes(), before);
}

void TestSafety::lockThatNobodyHoldsDoesNotBlock_data() {
    QTest::addColumn<QByteArray>("left");
    // Empty: what the lock file is between its making and its first write.
    QTest::newRow("left by a killed copy") << QByteArray();
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("cut mid-write") << QByteArray("4242\nkeyn");
    QTest::newRow("written by something else") << QByteArray("{\"owner\": \"sync tool\"}");
}

// A lock file that no running program holds is stale, whatever it says.
void TestSafety::lockThatNobodyHoldsDoesNotBlock() {
    QFETCH(QByteArray, left);
    Harness h;
    h.writeVault(cipherLine("master") + "\r\n");
    const QString path = lockPath(h);
    if (left.isNull()) {
        const pid_t child = fork();
        if (child == 0) {
            // Takes the lock and dies without letting go of it.
            QLockFile lock(path);
            lock.tryLock(0);
            _exit(lock.isLocked() ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
    } else {
        QFile lock(path);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(left);
    }
    QVERIFY(QFile::exists(path));

    h.program().loadMainWindow();
    QVERIFY(!h.program().ended());
    QVERIFY(h.boxes().shown.empty());
    QVERIFY(h.program().loaded<frmPass>());
    QVERIFY(h.program().vault && h.program().vault->holdsLock());
}

// Another program's change to the entries is merged (see tst_form1); one to
// the master password cannot be, and the user decides, losing nothing.
void TestSafety::changeByAnotherProgramIsNotOverwrittenUnasked() {
    Harness h;
    Form1* main = h.open({"a|||1|||"});
    const QByteArray theirs = cipherLine("other master") + cipherLine("theirs|||x|||") + "\r\n";
    h.writeVault(theirs);
    QFile f(h.vaultPath());
    QVERIFY(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime);
    f.close();

    main->entries().append(Entry{QStringLiteral("mine"), QStringLiteral("2"), QString()});
    h.boxes().answers = {BoxAnswer::Cancel};
    QVERIFY(!SaveData(h.program()));
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QCOMPARE(h.boxes().shown[0].buttons, BoxButtons::OkCancel);
    QCOMPARE(h.boxes().shown[0].defaultButton, BoxAnswer::Cancel);
    QCOMPARE(h.vaultBytes(), theirs);
    QVERIFY(main->statusText().startsWith(QStringLiteral("Not saved")));

    // Saved anyway: the entries merge (a plain vault keeps both sides'
    // entries, so a stays though theirs replaced it), the master password
    // stays this run's, and their version is kept.
    h.boxes().answers = {BoxAnswer::Ok};
    QVERIFY(SaveData(h.program()));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("a|||1|||") +
                                 cipherLine("mine|||2|||") + cipherLine("theirs|||x|||") + "\r\n");
    // Our own save is not a change by someone else: the next one asks nothing.
    QVERIFY(SaveData(h.program()));
    QCOMPARE(h.boxes().shown.size(), size_t(2));
}

void TestSafety::leftoversOfAnInterruptedSaveAreRemovedAtStart() {
    Harness h;
    h.writeVault(cipherLine("master") + "\r\n");
    // Named as saves name them now, and as they did before.
    const QStringList leftovers{h.folder() + QStringLiteral("/~syncthing~.data.enc.new-Ab12Cd.tmp"),
                                h.folder() + QStringLiteral("/.data.enc.new-Ab12Cd")};
    const QStringList unrelated{h.folder() + QStringLiteral("/data.enc.new-keep"),
                                h.folder() + QStringLiteral("/~syncthing~.data.enc.new-Ab12Cd"),
                                h.folder() +
                                    QStringLiteral("/~syncthing~.other.enc.new-Ab12Cd.tmp")};
    for (const QString& p : leftovers + unrelated) {
        QFile f(p);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("partial");
    }
    h.program().loadMainWindow();
    for (const QString& p : leftovers)
        QVERIFY2(!QFile::exists(p), qPrintable(p));
    for (const QString& p : unrelated)
        QVERIFY2(QFile::exists(p), qPrintable(p));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + "\r\n");
}

void TestSafety::vaultAnotherUserCouldReachIsRefused_data() {
    QTest::addColumn<bool>("linked"); // data.enc is a link to synced/real.enc
    QTest::addColumn<bool>("fileOfNobody");
    QTest::addColumn<bool>("folderOfNobody"); // the folder the real file is in
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<bool>("refused");
    QTest::newRow("file of another user") << false << true << false << 0700 << true;
    QTest::newRow("folder of another user, others write") << false << false << true << 0777 << true;
    QTest::newRow("folder of another user, sticky") << false << false << true << 01777 << true;
    QTest::newRow("folder of another user, group writes") << false << false << true << 0770 << true;
    QTest::newRow("folder of another user, theirs alone")
        << false << false << true << 0755 << false;
    QTest::newRow("link into a folder of mine") << true << false << false << 0700 << false;
    QTest::newRow("link to a file of another user") << true << true << false << 0700 << true;
    QTest::newRow("link into a folder others write") << true << false << true << 0777 << true;
}

// A vault file of another user, or one in a folder where others may put files
// of their own, is not opened: they could read it or swap it. A link to the
// vault (into a synced folder, say) is followed, and the rules hold for where
// it leads; saving replaces the file there and keeps the link.
void TestSafety::vaultAnotherUserCouldReachIsRefused() {
    QFETCH(bool, linked);
    QFETCH(bool, fileOfNobody);
    QFETCH(bool, folderOfNobody);
    QFETCH(int, folderMode);
    QFETCH(bool, refused);
    if ((fileOfNobody || folderOfNobody) && ::geteuid() != 0)
        QSKIP("giving files to another user needs root");
    Harness h;
    const QByteArray vault = cipherLine("master") + cipherLine("a|||1|||") + "\r\n";
    QString folder = h.folder();
    if (linked) {
        folder = h.folder() + QStringLiteral("/synced");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::link(folder + QStringLiteral("/real.enc"), h.vaultPath()));
    }
    const QString real =
        folder + (linked ? QStringLiteral("/real.enc") : QStringLiteral("/data.enc"));
    const QString leftover =
        folder + (linked ? QStringLiteral("/~syncthing~.real.enc.new-Ab12Cd.tmp")
                         : QStringLiteral("/~syncthing~.data.enc.new-Ab12Cd.tmp"));
    h.writeVault(vault);
    QVERIFY(QFile(leftover).open(QIODevice::WriteOnly));
    if (fileOfNobody)
        QVERIFY(giveTo(real, kNobody, 0600));
    QVERIFY(
        giveTo(folder, folderOfNobody ? kNobody : ::geteuid(), static_cast<mode_t>(folderMode)));
    const QStringList before = folderContents(h.folder());

    h.program().loadMainWindow();
    if (refused) {
        QVERIFY(h.program().ended());
        QCOMPARE(h.boxes().shown.size(), size_t(1));
        QVERIFY(h.boxes().shown[0].text.contains(QStringLiteral("another user")));
        QVERIFY(h.boxes().shown[0].text.contains(QDir::toNativeSeparators(h.vaultPath())));
        QVERIFY(!h.program().loaded<frmPass>());
        // Nothing written: no lock, the leftover still there, the vault as it was.
        QCOMPARE(folderContents(h.folder()), before);
        QVERIFY(QFile::exists(leftover));
        QCOMPARE(h.vaultBytes(), vault);
        return;
    }
    Form1* main = h.enterPassword();
    QVERIFY(main && main->isVisible());
    QVERIFY(!QFile::exists(leftover));
    QVERIFY(h.program().vault && h.program().vault->holdsLock());
    // The lock is the file's, whatever name reached it: beside the file.
    const QString lock = QFile::decodeName(VaultLock::pathFor(vaultfile::realFilePath(real)));
    QCOMPARE(folderContents(folder).filter(QStringLiteral(".lock")),
             QStringList{QFileInfo(lock).fileName()});
    main->entries().append(Entry{QStringLiteral("b"), QStringLiteral("2"), QString()});
    QVERIFY(SaveData(h.program()));
    if (linked)
        QCOMPARE(QFileInfo(h.vaultPath()).symLinkTarget(), real);
    QCOMPARE(h.vaultBytes(),
             cipherLine("master") + cipherLine("a|||1|||") + cipherLine("b|||2|||") + "\r\n");
    QCOMPARE(QFileInfo(real).permissions() & 0x0FFF,
             QFileDevice::ReadUser | QFileDevice::WriteUser);
    QCOMPARE(folderContents(folder).filter(QStringLiteral(".new-")), QStringList{});
}

// A vault larger than the 256 MiB the README promises is refused before it is
// read: a sparse file, so neither the test nor the program needs its size in
// memory.
void TestSafety::oversizedVaultIsRefusedUnread() {
    Harness h;
    QFile f(h.vaultPath());
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(cipherLine("master")) > 0);
    QVERIFY(f.resize(qint64(256) * 1024 * 1024 + 1));
    f.close();
    const vaultfile::Stamp before = vaultfile::stampOf(h.vaultPath());

    h.program().loadMainWindow();
    QVERIFY(h.program().ended());
    QVERIFY(!h.program().loaded<frmPass>());
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    const QString text = h.boxes().shown[0].text;
    QVERIFY2(text.contains(QStringLiteral("too large")) && text.contains(QStringLiteral("256 MiB")),
             qPrintable(text));
    QVERIFY(text.contains(QDir::toNativeSeparators(h.vaultPath())));
    QCOMPARE(vaultfile::stampOf(h.vaultPath()), before);
}

// A vault file a sync tool emptied, where this computer last saw entries, is
// no new vault: the window says what it found and how to put it back, and
// ends without asking for a master password or writing anything.
void TestSafety::vaultEmptiedByAccidentIsNotTakenForANewOne() {
    Harness h;
    QVERIFY(h.open({"a|||1|||", "b|||2|||"}));
    h.program().end();
    h.program().vault.reset(); // lets go of the lock, as the end of the process does
    h.writeVault(QByteArray());

    RecordingBoxes* boxes = nullptr;
    std::unique_ptr<Program> again = secondCopy(h, boxes);
    again->loadMainWindow();
    QVERIFY(again->ended());
    QVERIFY(!again->loaded<frmPass>());
    QCOMPARE(boxes->shown.size(), size_t(1));
    const QString text = boxes->shown[0].text;
    QVERIFY2(text.contains(QStringLiteral("data.enc is empty, but this computer last saw it with 2 "
                                          "entries")) &&
                 text.contains(QStringLiteral("keynook-cli restore 1")),
             qPrintable(text));
    QCOMPARE(h.vaultBytes(), QByteArray());
}

void TestSafety::lockThatIsNotAPlainFileEndsWithoutTouchingTheVault_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("named pipe") << "named pipe";
    QTest::newRow("link to a named pipe") << "link";
    QTest::newRow("link to a plain file") << "link";
    QTest::newRow("folder") << "folder";
}

// Opening a named pipe as the lock would wait for a writer forever; the
// test's time limit fails such a hang.
void TestSafety::lockThatIsNotAPlainFileEndsWithoutTouchingTheVault() {
    QFETCH(QString, kind);
    Harness h;
    const QByteArray vault = cipherLine("master") + "\r\n";
    h.writeVault(vault);
    const QString lock = ownLockPath(h);
    const QString pipe = h.folder() + QStringLiteral("/pipe");
    const QString plain = h.folder() + QStringLiteral("/plain");
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    QVERIFY(QFile(plain).open(QIODevice::WriteOnly));
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    if (tag == QLatin1String("named pipe"))
        QVERIFY(::mkfifo(QFile::encodeName(lock).constData(), 0600) == 0);
    else if (tag == QLatin1String("link to a named pipe"))
        QVERIFY(QFile::link(pipe, lock));
    else if (tag == QLatin1String("link to a plain file"))
        QVERIFY(QFile::link(plain, lock));
    else
        QVERIFY(QDir().mkdir(lock));
    const QStringList before = folderContents(h.folder());

    h.program().loadMainWindow();
    QVERIFY(h.program().ended());
    QVERIFY(!h.program().loaded<frmPass>());
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    const QString text = h.boxes().shown[0].text;
    QVERIFY2(text.contains(QDir::toNativeSeparators(lock) + QStringLiteral(" is a ") + kind),
             qPrintable(text));
    QVERIFY(text.contains(QDir::toNativeSeparators(h.vaultPath())));
    QCOMPARE(folderContents(h.folder()), before);
    QCOMPARE(h.vaultBytes(), vault);
}

void TestSafety::vaultOnReadOnlyMediumOpensButTakesNoChange_data() {
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("vault");
    QTest::addColumn<bool>("opens");
    const QByteArray entries = cipherLine("master") + cipherLine("a|||1|||") +
                               cipherLine("b|||2|||") + cipherLine("c|||3|||") + "\r\n";
    QTest::newRow("three entries") << true << entries << true;
    QTest::newRow("never used") << true << QByteArray("\r\n") << false;
    QTest::newRow("zero bytes") << true << QByteArray() << false;
    QTest::newRow("missing") << false << QByteArray() << false;
}

// Nobody can write a vault on a CD or a write-protected stick, so it is opened
// without a lock, and every change is refused before it is made. A vault that
// is still to be set up cannot be set up there.
void TestSafety::vaultOnReadOnlyMediumOpensButTakesNoChange() {
    QFETCH(bool, exists);
    QFETCH(QByteArray, vault);
    QFETCH(bool, opens);
    Harness h;
    if (exists)
        h.writeVault(vault);
    const QStringList before = folderContents(h.folder());
    ReadOnlyMount readOnly(h.folder());
    if (!readOnly.ok())
        QSKIP(qPrintable(QStringLiteral("no read-only mount here: ") + readOnly.error()));

    h.program().loadMainWindow();
    if (!opens) {
        QVERIFY(h.program().ended());
        QVERIFY(!h.program().loaded<frmPass>());
        QCOMPARE(h.boxes().shown.size(), size_t(1));
        const QString text = h.boxes().shown[0].text;
        QVERIFY2(text.contains(QStringLiteral("cannot be written to")), qPrintable(text));
        QVERIFY(text.contains(QDir::toNativeSeparators(h.vaultPath())));
        QCOMPARE(folderContents(h.folder()), before);
        return;
    }
    Form1* main = h.enterPassword();
    QVERIFY(main && main->isVisible());
    QCOMPARE(main->statusText(), QStringLiteral("Loaded 3 entries (read-only vault)"));

    main->cmdAdd_Click(0);
    QVERIFY(!h.program().loaded<frmAdd>());
    QVERIFY(main->statusText().contains(QStringLiteral("read-only")));
    selectRows(main, {1});
    main->cmdDelete_Click(); // refused before it asks
    QVERIFY(h.boxes().shown.empty());
    main->cmdEdit_Click(); // the editor shows the entry; its Save is refused
    frmAdd* editor = h.program().loaded<frmAdd>();
    QVERIFY(editor);
    editor->findChild<QLineEdit*>(QStringLiteral("txtUsername"))->setText(QStringLiteral("new"));
    editor->cmdAdd_Click(0);
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QVERIFY(h.boxes().shown[0].text.contains(QDir::toNativeSeparators(h.vaultPath())));
    QVERIFY(h.program().loaded<frmAdd>()); // the typed text stays
    QCOMPARE(shownUsernames(main), (QStringList{"a", "b", "c"}));
    QVERIFY(!h.program().unsavedChanges);
    QCOMPARE(h.vaultBytes(), vault);
    QCOMPARE(folderContents(h.folder()), before);
}

void TestSafety::storedVaultsLoadAndSaveToTheirExpectedBytes_data() {
    QTest::addColumn<QString>("file");
    const QDir data(QStringLiteral(KEYNOOK_TEST_DATA_DIR "/vault"));
    const QStringList files = data.entryList({QStringLiteral("*.enc")}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 10);
    for (const QString& f : files)
        QTest::newRow(qPrintable(f)) << data.filePath(f);
}

// Each stored vault, opened with its password and saved without a change,
// becomes exactly the bytes a save writes for its entries.
void TestSafety::storedVaultsLoadAndSaveToTheirExpectedBytes() {
    QFETCH(QString, file);
    QFile source(file);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QFile expected(file.chopped(4) + QStringLiteral(".expected"));
    QVERIFY(expected.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    Harness h;
    Form1* main = h.openFile(bytes, vaultformat::readMasterPassword(bytes));
    QCOMPARE(h.program().PasswordMode, qint16(0));
    QVERIFY(main && main->isVisible());
    QVERIFY(SaveData(h.program()));
    QCOMPARE(h.vaultBytes().toHex(' '), expected.readAll().toHex(' '));
}

KEYNOOK_GUI_TEST_MAIN(TestSafety)
#include "tst_safety.moc"

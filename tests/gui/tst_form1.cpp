// The main window: its layout, its list, saving the list, and its end.
#include "support/TestSupport.h"

#include "FileSizeLimit.h"

#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "main/VaultWatcher.h"
#include "main/modGlobals.h"
#include "platform/Twips.h"
#include "startup/WindowArguments.h"
#include "sync/VaultMerge.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultHistory.h"
#include "vault/VaultLocation.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Opens the vault with its password and returns the shown main window.
Form1* openVault(Harness& h, const QByteArray& entryLines) {
    return h.openFile(cipherLine("master") + entryLines);
}

// Whether the status line shows its whole text at the window's width.
bool statusFits(Form1* main) {
    const auto* panel = main->findChild<QLabel*>(QStringLiteral("StatusBar1_panel1"));
    return panel && panel->fontMetrics().horizontalAdvance(panel->text()) <= panel->width();
}

QString savedStatus(const Harness& h) {
    return QStringLiteral("Saved ") + formatDateTime(const_cast<Harness&>(h).clock().now());
}

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT

private slots:
    void captionsButtonsAndColumnsAsDesigned();
    void columnWidthsFollowCopyButtons();
    void menusCarryTheirItems();
    void resizeMovesOnlyTheList();
    void saveWritesListInDisplayOrder();
    void saveOfEmptyList();
    void conflictCopyIsMergedAtLoad();
    void conflictCopyAppearingIsMerged_data();
    void conflictCopyAppearingIsMerged();
    void saveMergesAChangeFromAnotherCopy_data();
    void deliveredChangeShowsInPlace();
    void onlyAFileUnderThisMasterPasswordIsFollowed_data();
    void onlyAFileUnderThisMasterPasswordIsFollowed();
    void aReplacedListKeepsIdentitiesAndCountsAsAMerge();
    void theWatcherTellsOfAWholeFileAtOnce_data();
    void theWatcherTellsOfAWholeFileAtOnce();
    void saveMergesAChangeFromAnotherCopy();
    void failedSaveKeepsOldFileAndSaysSo();
    void unusualEntriesSurviveSaveAndLoad();
    void aMillionEntriesLoadAndSave();
    void closingEndsTheProgram_data();
    void closingEndsTheProgram();
    void dateTimeForm();
    void vaultFolderChoice();
    void installedCopyFolders();
    void vaultNamedOnTheCommandLine_data();
    void vaultNamedOnTheCommandLine();
};

void TestForm1::captionsButtonsAndColumnsAsDesigned() {
    Harness h;
    Form1* main = openVault(h, "\r\n");
    QVERIFY(main);
    QCOMPARE(main->windowTitle(), QStringLiteral("Keynook by Quietlatch Labs"));
    QCOMPARE(main->findChild<QPushButton*>(QStringLiteral("cmdWebsite"))->text(),
             QStringLiteral("Visit www.keynook.example"));
    struct Button {
        const char* name;
        const char* caption;
        int left, top, width, height;
    };
    const Button buttons[] = {
        {"cmdAdd", "Add", 60, 60, 1155, 1035},
        {"cmdDelete", "Delete", 1260, 60, 1155, 1035},
        {"cmdEdit", "Edit", 2460, 60, 1155, 1035},
        {"cmdGoto", "Go To", 3660, 60, 1155, 1035},
        {"cmdWebsite", nullptr, 4860, 60, 4095, 1035},
        {"cmdCopy_0", "Copy Username", 60, 1140, 2355, 795},
        {"cmdCopy_1", "Copy Password", 2460, 1140, 2355, 795},
        {"cmdCopy_2", "Copy Used At", 4860, 1140, 4095, 795},
    };
    for (const Button& b : buttons) {
        auto* w = main->findChild<QPushButton*>(QString::fromLatin1(b.name));
        QVERIFY2(w, b.name);
        if (b.caption)
            QCOMPARE(w->text(), QString::fromLatin1(b.caption));
        QCOMPARE(w->geometry(), twRect(b.left, b.top, b.width, b.height));
    }
    // Tab order: the buttons, the list, then the copy buttons and Go To.
    QStringList chain;
    QWidget* w = main->findChild<QWidget*>(QStringLiteral("cmdAdd"));
    for (int guard = 0; chain.size() < 9 && guard < 100; ++guard, w = w->nextInFocusChain())
        if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")))
            chain << w->objectName();
    QCOMPARE(chain, (QStringList{"cmdAdd", "cmdEdit", "cmdDelete", "cmdWebsite", "lstPass",
                                 "cmdCopy_0", "cmdGoto", "cmdCopy_1", "cmdCopy_2"}));

    ListView* list = main->list();
    QCOMPARE(list->x(), tw(60));
    QCOMPARE(list->y(), tw(1980));
    QCOMPARE(list->model()->columnCount(), 3);
    QCOMPARE(list->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Username"));
    QCOMPARE(list->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Password"));
    QCOMPARE(list->model()->headerData(2, Qt::Horizontal).toString(),
             QStringLiteral("Website/Location"));
    QCOMPARE(list->columnWidth(0), tw(2345));
    QCOMPARE(list->columnWidth(1), tw(2375));
    QCOMPARE(list->columnWidth(2), tw(4095));
    QVERIFY(main->statusBar()->objectName() == QStringLiteral("StatusBar1"));
    // The status panel is as wide as the window with its frame.
    QVERIFY(main->frameGeometry() != main->geometry());
    QCOMPARE(main->findChild<QLabel*>(QStringLiteral("StatusBar1_panel1"))->maximumWidth(),
             main->frameGeometry().width());
}

void TestForm1::columnWidthsFollowCopyButtons() {
    Harness h;
    Form1 main(h.program());
    main.findChild<QPushButton*>(QStringLiteral("cmdCopy_0"))->resize(tw(3000), tw(795));
    main.findChild<QPushButton*>(QStringLiteral("cmdCopy_2"))->resize(tw(1500), tw(795));
    main.Form_Load();
    QCOMPARE(main.list()->columnWidth(0), tw(2990));
    QCOMPARE(main.list()->columnWidth(1), tw(2375));
    QCOMPARE(main.list()->columnWidth(2), tw(1500));
}

void TestForm1::menusCarryTheirItems() {
    Harness h;
    Form1* main = openVault(h, "\r\n");
    QStringList menus;
    for (QAction* a : main->menuBar()->actions())
        menus << a->text();
    QCOMPARE(menus, (QStringList{"File", "Data", "Copy", "Help", "About"}));
    const std::pair<const char*, const char*> items[] = {
        {"mnuFileItem_0", "Exit"},
        {"mnuDataItem_0", "Add Username/Password"},
        {"mnuDataItem_1", "Delete Selected Item"},
        {"mnuDataItem_2", "Edit Selected Item"},
        {"mnuDataItem_3", "Goto \"Used At\" Location"},
        {"mnuCopyItem_0", "Selected Username"},
        {"mnuCopyItem_1", "Selected Password"},
        {"mnuCopyItem_2", "Selected Used At Location"},
        {"mnuHelpItem_0", "View Help"},
        {"mnuAboutItem_0", "About this software"},
    };
    for (const auto& [name, caption] : items) {
        auto* a = main->findChild<QAction*>(QString::fromLatin1(name));
        QVERIFY2(a, name);
        QCOMPARE(a->text(), QString::fromLatin1(caption));
        QVERIFY(a->shortcut().isEmpty());
    }
}

void TestForm1::resizeMovesOnlyTheList() {
    Harness h;
    Form1* main = openVault(h, "\r\n");
    auto* add = main->findChild<QPushButton*>(QStringLiteral("cmdAdd"));
    const QRect addBefore = add->geometry();
    auto expectFor = [&](QSize outer) {
        const int width = std::abs(toTwips(outer.width()) - 2 * 60 - 500);
        const int height = std::abs(toTwips(outer.height()) - 1980 - 1000);
        return QSize(tw(width), tw(height));
    };

    main->resize(800, 600);
    const QSize outer = main->frameGeometry().size();
    QVERIFY(outer.width() >= 800 && outer.height() >= 600);
    QCOMPARE(main->list()->size(),
             QSize(tw(toTwips(outer.width()) - 620), tw(toTwips(outer.height()) - 2980)));
    QCOMPARE(add->geometry(), addBefore);
    QCOMPARE(main->list()->pos(), QPoint(tw(60), tw(1980)));

    // A window smaller than the margins still gives the list a positive size.
    main->resize(30, 40);
    QCOMPARE(main->list()->size(), expectFor(main->frameGeometry().size()));
    QVERIFY(main->list()->width() > 0 && main->list()->height() > 0);

    main->resize(700, 500);
    const QSize before = main->list()->size();
    main->setWindowState(Qt::WindowMinimized);
    main->resize(900, 700);
    QCOMPARE(main->list()->size(), before);
    main->setWindowState(Qt::WindowNoState);
    main->resize(901, 700);
    QCOMPARE(main->list()->size(), expectFor(main->frameGeometry().size()));
}

void TestForm1::saveWritesListInDisplayOrder() {
    Harness h;
    Form1* main = openVault(h, cipherLine("bob|||pw1|||b.example") + "\r\n");
    main->entries().append(Entry{QStringLiteral("al"), QStringLiteral("pw2"), QString()});
    main->entries().append(
        Entry{QStringLiteral("cy"), QStringLiteral("p|w"), QStringLiteral("C:\\x")});
    QVERIFY(SaveData(h.program()));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("bob|||pw1|||b.example") +
                                 cipherLine("al|||pw2|||") + cipherLine("cy|||p|w|||C:\\x") +
                                 "\r\n");
    QCOMPARE(main->statusText(), savedStatus(h));
    // The test wrote the vault 0644; the save leaves it its owner's alone.
    QCOMPARE(QFileInfo(h.vaultPath()).permissions() & 0x0FFF,
             QFileDevice::ReadUser | QFileDevice::WriteUser);
    // Only data.enc and its lock are left in the folder.
    QCOMPARE(QDir(h.folder()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{"data.enc", h.lockName()}));
}

void TestForm1::saveOfEmptyList() {
    Harness h;
    Form1* main = openVault(h, "");
    QCOMPARE(main->statusText(), QStringLiteral("Loaded 0 entries"));
    QVERIFY(SaveData(h.program()));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + "\r\n");
}

// Two computers changed the vault apart and the sync engine kept the other's
// version beside it: the window merges it at load, keeping both sides'
// entries (this computer saw neither version before, so nothing that one
// lacks is taken for a deletion), and removes it.
void TestForm1::conflictCopyIsMergedAtLoad() {
    Harness h;
    const QString copy =
        h.folder() + QStringLiteral("/data (conflicted copy 2026-12-07 153012).enc");
    {
        QFile f(copy);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(cipherLine("master") + cipherLine("bob|||pw1|||b.example") +
                cipherLine("cy|||pw3|||") + "\r\n");
    }
    Form1* main =
        openVault(h, cipherLine("bob|||pw1|||b.example") + cipherLine("al|||pw2|||") + "\r\n");
    QCOMPARE(main->statusText(),
             QStringLiteral("Loaded 3 entries. Merged a conflict copy: 1 added, 0 removed."));
    QVERIFY(statusFits(main));
    // cy goes after the entry before it in the copy.
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("bob|||pw1|||b.example") +
                                 cipherLine("cy|||pw3|||") + cipherLine("al|||pw2|||") + "\r\n");
    QVERIFY(!QFile::exists(copy));
}

void TestForm1::conflictCopyAppearingIsMerged_data() {
    QTest::addColumn<QString>("before");    // what happens in the window first
    QTest::addColumn<QByteArray>("master"); // the copy's master password
    QTest::addColumn<QStringList>("shown"); // the list at the end; empty: the copy is left
    QTest::newRow("merged as it appears")
        << QString() << QByteArray("master") << QStringList{"al", "bo", "cy"};
    QTest::newRow("a change whose save failed: merged after the next save")
        << QStringLiteral("unsaved") << QByteArray("master")
        << QStringList{"al", "bo", "cy", "new"};
    QTest::newRow("a removal made here stays")
        << QStringLiteral("removed") << QByteArray("master") << QStringList{"al", "cy"};
    QTest::newRow("another master password: left")
        << QString() << QByteArray("other") << QStringList();
}

// A conflict copy that the engine puts beside the vault while the window
// runs is merged as it appears, as at load, unless the list holds a change
// that is not on disk yet: then it waits for that change's save. A plain
// copy does not bring back what the person removed in this run, and one
// under another master password is left where it is.
void TestForm1::conflictCopyAppearingIsMerged() {
    QFETCH(QString, before);
    QFETCH(QByteArray, master);
    QFETCH(QStringList, shown);
    Harness h;
    Form1* main = openVault(h, cipherLine("al|||pw|||") + cipherLine("bo|||pw|||") + "\r\n");
    if (before == QLatin1String("removed")) {
        main->entries().remove(1);
        QVERIFY(SaveData(h.program()));
    } else if (before == QLatin1String("unsaved")) {
        main->entries().append(Entry{QStringLiteral("new"), QStringLiteral("pw"), QString()});
        FileSizeLimit limit(8);
        QVERIFY(!SaveData(h.program()));
        h.boxes().shown.clear();
    }
    const QByteArray vault = h.vaultBytes();
    const QStringList listed = shownUsernames(main);
    // Written aside and renamed in, as Syncthing makes its copies.
    const QString aside = h.folder() + QStringLiteral("/~syncthing~copy.tmp");
    const QString copy =
        h.folder() + QStringLiteral("/data.sync-conflict-20261207-153012-ABCDEFG.enc");
    {
        QFile f(aside);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(cipherLine(master) + cipherLine("al|||pw|||") + cipherLine("bo|||pw|||") +
                cipherLine("cy|||pw|||") + "\r\n");
    }
    QVERIFY(::rename(QFile::encodeName(aside).constData(), QFile::encodeName(copy).constData()) ==
            0);
    if (shown.isEmpty()) {
        QTRY_COMPARE(main->statusText(),
                     QStringLiteral("Not merged: a conflict copy (keynook-cli check says why)."));
        QVERIFY(statusFits(main));
        QVERIFY(QFile::exists(copy));
        QCOMPARE(h.vaultBytes(), vault);
        QCOMPARE(shownUsernames(main), listed);
        return;
    }
    if (before == QLatin1String("unsaved")) {
        QTRY_VERIFY(h.program().copiesWaiting);
        QVERIFY(QFile::exists(copy));
        QCOMPARE(shownUsernames(main), listed);
        QVERIFY(SaveData(h.program()));
    }
    QTRY_VERIFY(!QFile::exists(copy));
    QCOMPARE(shownUsernames(main), shown);
    QByteArray file = cipherLine("master");
    for (const QString& name : shown)
        file += cipherLine(name.toUtf8() + "|||pw|||");
    QCOMPARE(h.vaultBytes(), file + "\r\n");
    QCOMPARE(main->statusText(), QStringLiteral("Merged a conflict copy: 1 added, 0 removed."));
    QVERIFY(statusFits(main));
    QVERIFY(h.boxes().shown.empty());
}

void TestForm1::saveMergesAChangeFromAnotherCopy_data() {
    QTest::addColumn<QByteArray>("theirs");   // the other copy's entry lines
    QTest::addColumn<QByteArray>("expected"); // the merged file's entry lines
    QTest::addColumn<bool>("removedHere");    // al was removed in the window first
    QTest::newRow("an entry added there")
        << cipherLine("al|||pw1|||") + cipherLine("bo|||pw2|||")
        << cipherLine("al|||pw1|||") + cipherLine("bo|||pw2|||") + cipherLine("cy|||pw3|||")
        << false;
    // A plain vault keeps what either copy holds: the password changed
    // there (the file keeps its size: only its identity tells the change)
    // comes in beside the old one, and what the other copy removed is back.
    QTest::newRow("a password changed there, same size")
        << cipherLine("al|||pw9|||")
        << cipherLine("al|||pw1|||") + cipherLine("cy|||pw3|||") + cipherLine("al|||pw9|||")
        << false;
    // What the person removed in this run stays removed.
    QTest::newRow("removed here, still there")
        << cipherLine("al|||pw1|||") + cipherLine("bo|||pw2|||")
        << cipherLine("cy|||pw3|||") + cipherLine("bo|||pw2|||") << true;
}

// A save that finds the vault changed by another copy (a sync engine's
// delivery) merges that change with the list's instead of asking, saves
// the merge, shows it and says so.
void TestForm1::saveMergesAChangeFromAnotherCopy() {
    QFETCH(QByteArray, theirs);
    QFETCH(QByteArray, expected);
    QFETCH(bool, removedHere);
    Harness h;
    Form1* main = openVault(h, cipherLine("al|||pw1|||") + "\r\n");
    if (removedHere)
        main->entries().remove(0);
    // Delivered as engines deliver: a new file renamed over the vault.
    const QString delivered = h.folder() + QStringLiteral("/delivered");
    {
        QFile f(delivered);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(cipherLine("master") + theirs + "\r\n");
    }
    QVERIFY(::rename(QFile::encodeName(delivered).constData(),
                     QFile::encodeName(h.vaultPath()).constData()) == 0);
    main->entries().append(Entry{QStringLiteral("cy"), QStringLiteral("pw3"), QString()});
    QVERIFY(SaveData(h.program()));
    // The other copy's file, kept among the backups before the merge replaced it.
    const VaultHistory history(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
                               vaultfile::realFilePath(h.vaultPath()));
    bool kept = false;
    for (const VaultHistory::Restorable& r : history.restorable(h.vaultBytes())) {
        QFile f(r.path);
        kept = kept || (r.why == VaultHistory::Why::Merge && f.open(QIODevice::ReadOnly) &&
                        f.readAll() == cipherLine("master") + theirs + "\r\n");
    }
    QVERIFY(kept);
    QVERIFY(h.boxes().shown.empty());
    QCOMPARE(h.vaultBytes(), cipherLine("master") + expected + "\r\n");
    QCOMPARE(main->entries().savedFile(QStringLiteral("master")).joined(), h.vaultBytes());
    QVERIFY(
        main->statusText().endsWith(QStringLiteral(" Merged another copy: 1 added, 0 removed.")));
    QVERIFY2(statusFits(main), qPrintable(main->statusText()));
}

// A change delivered while the window is open, with nothing unsaved in the
// list, shows at once: sorted as the list was, the selection kept on its
// entry.
void TestForm1::deliveredChangeShowsInPlace() {
    Harness h;
    Form1* main = openVault(h, cipherLine("bo|||pw2|||") + cipherLine("al|||pw1|||") + "\r\n");
    main->entries().sortBy(EntryModel::Username, Qt::AscendingOrder);
    QTreeView* list = main->list();
    list->setCurrentIndex(list->model()->index(1, EntryModel::Username)); // bo
    const QString delivered = h.folder() + QStringLiteral("/delivered");
    {
        QFile f(delivered);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(cipherLine("master") + cipherLine("bo|||pw2|||") + cipherLine("cy|||pw3|||") +
                cipherLine("ab|||pw0|||") + cipherLine("al|||pw1|||") + "\r\n");
    }
    QVERIFY(::rename(QFile::encodeName(delivered).constData(),
                     QFile::encodeName(h.vaultPath()).constData()) == 0);
    QTRY_COMPARE(main->entries().rowCount(), 4);
    QCOMPARE(main->statusText(), QStringLiteral("Updated from another copy: 2 added, 0 removed."));
    QCOMPARE(main->entries().field(0, EntryModel::Username), QStringLiteral("ab"));
    QCOMPARE(list->currentIndex().row(), 2);
    QCOMPARE(main->entries().field(list->currentIndex().row(), EntryModel::Username),
             QStringLiteral("bo"));
    // The engine sets the file's time after its rename: the file is taken
    // as read again, and the status still says what came in.
    const timespec times[2] = {{0, UTIME_OMIT}, {1577934245, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(h.vaultPath()).constData(), times, 0) == 0);
    QVERIFY(h.program().vault->changedOutside());
    QTRY_VERIFY(!h.program().vault->changedOutside());
    QCOMPARE(main->statusText(), QStringLiteral("Updated from another copy: 2 added, 0 removed."));
    QCOMPARE(main->entries().rowCount(), 4);
}

// The new file is shown only under this run's master password; any other
// stays a change from outside, for the next save to ask about. A master
// password longer than one read of the first line is compared whole.
void TestForm1::onlyAFileUnderThisMasterPasswordIsFollowed_data() {
    QTest::addColumn<QString>("ours");
    QTest::addColumn<QString>("theirs");
    const QString longOne = QString(5000, QLatin1Char('k'));
    QTest::newRow("the same") << QStringLiteral("master") << QStringLiteral("master");
    QTest::newRow("another") << QStringLiteral("master") << QStringLiteral("changed");
    QTest::newRow("the same, long") << longOne << longOne;
    QTest::newRow("another, long, the same first 4 KiB") << longOne << longOne + QLatin1Char('!');
}

void TestForm1::onlyAFileUnderThisMasterPasswordIsFollowed() {
    QFETCH(QString, ours);
    QFETCH(QString, theirs);
    Harness h;
    Form1* main =
        h.openFile(vaultformat::masterOnlyFile(ours) + cipherLine("al|||pw1|||") + "\r\n", ours);
    QVERIFY(main);
    const QString delivered = h.folder() + QStringLiteral("/delivered");
    {
        QFile f(delivered);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(vaultformat::masterOnlyFile(theirs) + cipherLine("bo|||pw2|||") + "\r\n");
    }
    QVERIFY(::rename(QFile::encodeName(delivered).constData(),
                     QFile::encodeName(h.vaultPath()).constData()) == 0);
    // Called at once, before the watcher is heard.
    FollowOutsideChange(h.program());
    const bool same = ours == theirs;
    QCOMPARE(shownUsernames(main), same ? QStringList{"bo"} : QStringList{"al"});
    QCOMPARE(h.program().vault->changedOutside(), !same);
    if (same)
        QCOMPARE(main->statusText(),
                 QStringLiteral("Updated from another copy: 1 added, 1 removed."));
}

// A list replaced by another copy's entries, over random lists with
// repeated entries and lines in both escape forms: the k-th of equal new
// lines takes the k-th smallest identity of the equal old ones, every other
// line a new one, and what came in and went is counted as a merge of the
// list with the new file counts it.
void TestForm1::aReplacedListKeepsIdentitiesAndCountsAsAMerge() {
    const std::vector<Entry> pool = {{"ann", "pw1", "a.example"},
                                     {"bob", "pw2", ""},
                                     {"cy", "pw3", "c.example"},
                                     {QStringLiteral("dee\u0090"), "pw4", ""},
                                     {"eve", QStringLiteral("\u0090"), "e.example"}};
    std::vector<QByteArray> forms;
    for (const Entry& e : pool)
        forms.push_back(vaultformat::encodeEntryLine(e));
    // As saves used to write the last two: another line, the same entry.
    for (size_t k = 3; k < pool.size(); ++k) {
        forms.push_back(vaultformat::encodeEntryLine(pool[k], vaultformat::Escaping::AllUndefined));
        QVERIFY(forms.back() != forms[k]);
    }
    const auto fileOf = [](const std::vector<QByteArray>& lines) {
        QByteArray file = vaultformat::masterOnlyFile(QStringLiteral("master"));
        for (const QByteArray& line : lines)
            file += line + "\r\n";
        return file + "\r\n";
    };
    std::mt19937 gen(20261207);
    const auto pick = [&gen](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(gen);
    };
    int serial = 0;
    const auto another = [&serial] {
        return vaultformat::encodeEntryLine(
            Entry{QStringLiteral("u%1").arg(++serial), QStringLiteral("pw"), QString()});
    };
    EntryModel model;
    std::vector<QByteArray> lines;
    quint64 newest = 0;
    int countedOtherwise = 0;
    int allDifferent = 0;
    for (int round = 0; round < 400; ++round) {
        // An edit here keeps its entry's identity: after a change came in,
        // equal lines no longer stand in the order of their identities.
        if (!lines.empty() && pick(3) == 0) {
            const size_t row = pick(lines.size());
            const Entry& e = pool[pick(pool.size())];
            model.replace(static_cast<int>(row), e);
            lines[row] = vaultformat::encodeEntryLine(e);
        }
        // Most rounds keep most lines in their order, as a delivery does,
        // and add a few; some move lines far, remove a block of them, repeat
        // lines, or add entries of the pool. Every other one leaves no two
        // lines the same.
        std::vector<QByteArray> next;
        for (const QByteArray& line : lines)
            if (pick(8) != 0 && (lines.size() < 60 || pick(3) != 0))
                next.push_back(line);
        const auto insert = [&](const QByteArray& line) {
            next.insert(next.begin() + static_cast<std::ptrdiff_t>(pick(next.size() + 1)), line);
        };
        for (size_t k = pick(6); k > 0; --k)
            insert(another());
        for (size_t k = pick(3); k > 0; --k)
            insert(next.empty() || pick(2) ? forms[pick(forms.size())] : next[pick(next.size())]);
        if (!next.empty() && pick(3) == 0) {
            const size_t from = pick(next.size());
            const QByteArray moved = next[from];
            next.erase(next.begin() + static_cast<std::ptrdiff_t>(from));
            insert(moved);
        }
        if (next.size() > 30 && round % 5 == 0) { // a block of lines removed
            const auto from = next.begin() + static_cast<std::ptrdiff_t>(pick(next.size() - 20));
            next.erase(from, from + 10 + static_cast<std::ptrdiff_t>(pick(10)));
        }
        if (round % 11 == 0)
            std::shuffle(next.begin(), next.end(), gen);
        if (round % 2 == 0) {
            std::vector<QByteArray> once;
            for (const QByteArray& line : next)
                if (std::find(once.begin(), once.end(), line) == once.end())
                    once.push_back(line);
            next = std::move(once);
        }
        allDifferent += std::all_of(lines.begin(), lines.end(), [&lines](const QByteArray& l) {
            return std::count(lines.begin(), lines.end(), l) == 1;
        });
        const EntryStore was = EntryStore::fromFile(fileOf(lines));
        const EntryStore now = EntryStore::fromFile(fileOf(next));
        std::vector<quint64> ids(was.size());
        for (size_t s = 0; s < was.size(); ++s)
            ids[s] = model.idAt(static_cast<int>(s));
        const QByteArray shown = model.savedFile(QStringLiteral("master")).joined();
        const vaultmerge::Report merged = vaultmerge::merge(shown, shown, fileOf(next)).report;

        const EntryModel::Change change = model.replaceAll(EntryStore::fromFile(fileOf(next)));

        QCOMPARE(change.added, static_cast<qsizetype>(merged.fromTheirs.size()));
        QCOMPARE(change.removed, static_cast<qsizetype>(merged.removedByTheirs.size()));
        QCOMPARE(model.rowCount(), static_cast<int>(now.size()));
        std::vector<bool> taken(was.size());
        qsizetype fresh = 0;
        for (size_t t = 0; t < now.size(); ++t) {
            size_t best = was.size();
            for (size_t s = 0; s < was.size(); ++s)
                if (!taken[s] && was.line(s) == now.line(t) &&
                    (best == was.size() || ids[s] < ids[best]))
                    best = s;
            const quint64 id = model.idAt(static_cast<int>(t));
            if (best < was.size()) {
                taken[best] = true;
                QCOMPARE(id, ids[best]);
            } else {
                QVERIFY(id > newest);
                newest = id;
                ++fresh;
            }
        }
        for (size_t s = 0; s < was.size(); ++s)
            QCOMPARE(model.removedByAnotherCopy(ids[s]), !taken[s]);
        countedOtherwise += change.added != fresh;
        lines = next;
    }
    // Lines of both forms of one entry met, and cancelled out in the counts;
    // lists with and without repeated lines were replaced.
    QVERIFY(countedOtherwise > 0);
    QVERIFY(allDifferent > 100 && allDifferent < 300);
}

void TestForm1::theWatcherTellsOfAWholeFileAtOnce_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("renamed over the vault") << 0;
    QTest::newRow("written in place and closed") << 1;
    QTest::newRow("removed, then written anew and closed") << 2;
}

// A file that is whole under the vault's name (renamed there, or closed by
// its writer) is told without waiting for the quiet that a write still
// going on waits for: here a quiet longer than any test.
void TestForm1::theWatcherTellsOfAWholeFileAtOnce() {
    QFETCH(int, how);
    QTemporaryDir dir;
    const QString vault = dir.path() + QStringLiteral("/data.enc");
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    QVERIFY(write(vault, "0"));
    int told = 0;
    VaultWatcher watcher(
        vault, [&told] { ++told; }, nullptr, std::chrono::hours(1));
    for (int k = 1; k <= 3; ++k) {
        const QByteArray bytes = QByteArray::number(k);
        if (how == 0) {
            const QString beside = dir.path() + QStringLiteral("/.delivered");
            QVERIFY(write(beside, bytes));
            QVERIFY(std::rename(QFile::encodeName(beside).constData(),
                                QFile::encodeName(vault).constData()) == 0);
        } else {
            if (how == 2)
                QVERIFY(QFile::remove(vault));
            QVERIFY(write(vault, bytes));
        }
        QTRY_COMPARE(told, k);
    }
}

void TestForm1::failedSaveKeepsOldFileAndSaysSo() {
    Harness h;
    Form1* main = openVault(h, cipherLine("keep|||me|||") + "\r\n");
    const QByteArray before = h.vaultBytes();
    main->entries().append(Entry{QStringLiteral("new"), QStringLiteral("entry"), QString()});
    {
        FileSizeLimit limit(8);
        QVERIFY(!SaveData(h.program()));
    }
    QCOMPARE(h.vaultBytes(), before);
    QVERIFY(!main->statusText().startsWith(QStringLiteral("Saved")));
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QVERIFY(h.boxes().shown[0].text.contains(QStringLiteral("could not be saved")));
    QCOMPARE(QDir(h.folder()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{"data.enc", h.lockName()}));
    QCOMPARE(main->entries().rowCount(), 2);
    QVERIFY(!h.program().ended());

    // Once the disk takes writes again, the next save carries the change.
    QVERIFY(SaveData(h.program()));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("keep|||me|||") +
                                 cipherLine("new|||entry|||") + "\r\n");
    QCOMPARE(main->statusText(), savedStatus(h));
}

void TestForm1::unusualEntriesSurviveSaveAndLoad() {
    const std::vector<Entry> entries = {
        {QStringLiteral("a|||b"), QStringLiteral("|x|"), QStringLiteral("y|")},
        {QStringLiteral("\u0142\u00f3d\u017a"), QStringLiteral("\U0001F511\u4e2d"),
         QStringLiteral("\u008d")},
        {QStringLiteral(" "), QStringLiteral("line\nbreak\r"), QString()},
        {QStringLiteral("long"), QString(2'000'000, QLatin1Char('p')),
         QString(300'000, QChar(0x4e2d))},
    };
    QByteArray saved;
    {
        Harness h;
        Form1* main = openVault(h, "");
        main->entries().append(std::vector<Entry>(entries));
        QVERIFY(SaveData(h.program()));
        saved = h.vaultBytes();
    }
    Harness h;
    Form1* main = h.openFile(saved);
    QCOMPARE(main->statusText(), QStringLiteral("Loaded 4 entries"));
    std::vector<Entry> read;
    for (int r = 0; r < main->entries().rowCount(); ++r)
        read.push_back(main->entries().entry(r));
    QVERIFY(read == entries);
    // The list shows the start of a very long field, and all of a short one.
    for (int r = 0; r < main->entries().rowCount(); ++r)
        for (int c = 0; c < 3; ++c) {
            const QString full = main->entries().field(r, c);
            const QString shown = main->list()->model()->index(r, c).data().toString();
            QVERIFY(shown.size() < 10'000);
            if (shown != full)
                QVERIFY(shown.endsWith(QChar(0x2026)) && full.startsWith(shown.chopped(1)));
        }
    QCOMPARE(main->list()->model()->index(2, 1).data().toString(), entries[2].password);
}

void TestForm1::aMillionEntriesLoadAndSave() {
    // Far past any 16-bit row counter.
    constexpr int kCount = 1'000'000;
    std::vector<Entry> entries;
    entries.reserve(kCount);
    for (int i = 0; i < kCount; ++i)
        entries.push_back({QStringLiteral("user%1").arg(i), QStringLiteral("pw%1").arg(i * 7),
                           i % 3 ? QStringLiteral("site%1.example").arg(i) : QString()});
    const QByteArray file = vaultformat::savedFile(QStringLiteral("master"), entries);
    Harness h;
    Form1* main = h.openFile(file);
    QCOMPARE(main->statusText(), QStringLiteral("Loaded 1000000 entries"));
    QCOMPARE(main->list()->model()->rowCount(), kCount);
    QCOMPARE(main->list()->model()->index(kCount - 1, 1).data().toString(),
             QStringLiteral("pw%1").arg((kCount - 1) * 7));
    QVERIFY(SaveData(h.program()));
    QVERIFY(h.vaultBytes() == file);
}

void TestForm1::closingEndsTheProgram_data() {
    QTest::addColumn<bool>("byMenu");
    QTest::newRow("close box") << false;
    QTest::newRow("File, Exit") << true;
}

void TestForm1::closingEndsTheProgram() {
    QFETCH(bool, byMenu);
    Harness h;
    Form1* main = openVault(h, cipherLine("x|||y|||z") + "\r\n");
    const QByteArray before = h.vaultBytes();
    if (byMenu)
        main->findChild<QAction*>(QStringLiteral("mnuFileItem_0"))->trigger();
    else
        main->close();
    QVERIFY(h.program().ended());
    QVERIFY(!h.program().loaded<Form1>());
    QCOMPARE(h.vaultBytes(), before);
}

void TestForm1::dateTimeForm() {
    const QLocale c(QLocale::C);
    const QDate d(2026, 3, 14);
    const QString withTime = formatDateTime(QDateTime(d, QTime(15, 9, 26)), c);
    QVERIFY2(withTime.contains(QStringLiteral("15:09:26")), qPrintable(withTime));
    QVERIFY2(withTime.startsWith(c.toString(d, QLocale::ShortFormat) + QLatin1Char(' ')),
             qPrintable(withTime));
    QVERIFY2(!withTime.contains(QStringLiteral("UTC")), qPrintable(withTime));
    QCOMPARE(formatDateTime(QDateTime(d, QTime(0, 0)), c), c.toString(d, QLocale::ShortFormat));
    // Midnight to the second the status line shows, not to the millisecond.
    QCOMPARE(formatDateTime(QDateTime(d, QTime(0, 0, 0, 999)), c),
             c.toString(d, QLocale::ShortFormat));
    QVERIFY(formatDateTime(QDateTime(d, QTime(0, 0, 1)), c).contains(QStringLiteral("00:00:01")));
}

void TestForm1::vaultFolderChoice() {
    QTemporaryDir program;
    QTemporaryDir user;
    QCOMPARE(vaultlocation::chooseVaultFolder(program.path(), user.path()), program.path());
    const QString missing = program.filePath(QStringLiteral("not-there"));
    const QString userData = user.filePath(QStringLiteral("Keynook"));
    QCOMPARE(vaultlocation::chooseVaultFolder(missing, userData), userData);
    QCOMPARE(QFileInfo(userData).permissions() & 0x0FFF,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

void TestForm1::installedCopyFolders() {
    QTemporaryDir prefix;
    QTemporaryDir user;
    const QString bin = prefix.filePath(QStringLiteral("bin"));
    const QString share = prefix.filePath(QStringLiteral("share/keynook"));
    const QString userData = user.filePath(QStringLiteral("Keynook"));
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(share));
    const auto touch = [](const QString& path) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    };
    touch(share + QStringLiteral("/Help.rtf"));

    // Installed, with a bin folder this user can write to.
    QCOMPARE(vaultlocation::chooseHelpFolder(bin), share);
    QCOMPARE(vaultlocation::chooseVaultFolder(bin, userData), userData);
    // A vault beside the program is used first.
    touch(bin + QStringLiteral("/data.enc"));
    QCOMPARE(vaultlocation::chooseVaultFolder(bin, userData), bin);
    QVERIFY(QFile::remove(bin + QStringLiteral("/data.enc")));
    // With its own Help.rtf the folder is a portable copy, not an installed one.
    touch(bin + QStringLiteral("/Help.rtf"));
    QCOMPARE(vaultlocation::chooseHelpFolder(bin), bin);
    QCOMPARE(vaultlocation::chooseVaultFolder(bin, userData), bin);
}

void TestForm1::vaultNamedOnTheCommandLine_data() {
    QTest::addColumn<QString>("line");        // the arguments; @ is a folder of the test's
    QTest::addColumn<QString>("leftByQt");    // what Qt leaves of them; "=" all
    QTest::addColumn<QString>("environment"); // KEYNOOK_VAULT
    QTest::addColumn<QString>("expected");    // the vault file, or what is wrong
    const auto row = [](const char* name, const char* line, const char* left, const char* env,
                        const char* expected) {
        QTest::newRow(name) << QString::fromUtf8(line) << QString::fromUtf8(left)
                            << QString::fromUtf8(env) << QString::fromUtf8(expected);
    };
    row("nothing: the usual place", "", "=", "", "");
    row("--vault", "--vault @/mine.enc", "=", "", "@/mine.enc");
    row("--vault=", "--vault=@/mine.enc", "=", "", "@/mine.enc");
    row("relative, from the current folder", "--vault sub/../mine.enc", "=", "", "@/mine.enc");
    row("the environment", "", "=", "@/env.enc", "@/env.enc");
    row("--vault before the environment", "--vault mine.enc", "=", "@/env.enc", "@/mine.enc");
    row("Qt's own options", "-platform offscreen --vault mine.enc", "--vault mine.enc", "",
        "@/mine.enc");
    row("no path", "--vault", "=", "", "--vault needs the path of a vault file");
    row("an empty path", "--vault=", "=", "@/env.enc", "--vault needs the path of a vault file");
    row("twice", "--vault a.enc --vault=b.enc", "=", "", "--vault is given twice");
    row("a folder", "--vault @", "=", "", "--vault names the vault file, and @ is a folder");
    row("a folder in the environment", "", "=", "@",
        "KEYNOOK_VAULT names the vault file, and @ is a folder");
    row("not ours, said by its place", "-platform offscreen Secret --vault a.enc",
        "Secret --vault a.enc", "",
        "the 3rd argument is not an option; the options are --vault, --help and --version");
    row("help answers first", "--vault --help", "=", "", "help");
}

// What the window's command line and KEYNOOK_VAULT choose, as main() reads
// them: the line before Qt takes its options, then what Qt left.
void TestForm1::vaultNamedOnTheCommandLine() {
    QFETCH(QString, line);
    QFETCH(QString, leftByQt);
    QFETCH(QString, environment);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const auto at = [&dir](QString text) { return text.replace(QLatin1Char('@'), dir.path()); };
    const QStringList given = at(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const windowarguments::Parsed p = windowarguments::parse(given);
    QString got;
    if (p.ask == windowarguments::Parsed::Ask::Help)
        got = QStringLiteral("help");
    else if (!p.error.isEmpty())
        got = p.error;
    else if (const QString wrong = windowarguments::notOurs(
                 p, leftByQt == QLatin1String("=")
                        ? given
                        : at(leftByQt).split(QLatin1Char(' '), Qt::SkipEmptyParts));
             !wrong.isEmpty())
        got = wrong;
    else {
        const vaultlocation::NamedVault named =
            vaultlocation::namedVaultFile(p.vault, at(environment));
        got = named.error.isEmpty() ? named.path : named.error;
    }
    QDir::setCurrent(before);
    QCOMPARE(got, at(expected));
}

KEYNOOK_GUI_TEST_MAIN(TestForm1)
#include "tst_form1.moc"

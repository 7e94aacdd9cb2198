// The entry commands of the main window and the column sort.
#include "support/TestSupport.h"

#include "dialogs/frmAdd.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "main/modListViewEnh.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

namespace {

const QList<QByteArray> kThree = {"b|||pw-b|||www.b.example", "a|||pw-a|||", "c|||pw-c|||C:\\c"};

void clickHeader(Form1* main, int section) {
    QHeaderView* header = main->list()->header();
    const QPoint centre(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
}

void click(Form1* main, const char* button) {
    QTest::mouseClick(main->findChild<QPushButton*>(QString::fromLatin1(button)), Qt::LeftButton);
}

} // namespace

class TestCommands : public QObject {
    Q_OBJECT

private slots:
    void withoutSelectionEachCommandSaysSo_data();
    void withoutSelectionEachCommandSaysSo();
    void copyPutsOneFieldOnTheClipboard_data();
    void copyPutsOneFieldOnTheClipboard();
    void theListItselfCopiesNothing();
    void severalSelectedRowsUseTheTopmost();
    void deleteAsksThenRemovesAndSaves();
    void deleteDeclinedChangesNothing();
    void deletingTheOnlyEntryLeavesMasterLine();
    void gotoHandsTheLocationOn_data();
    void gotoHandsTheLocationOn();
    void addAfterEditKeepsHandOverValues();
    void sortFlipsOneOrderForTheWholeList();
    void sortOfEmptyListChangesNothing();
    void headerArrowShowsTheListsOrder();
    void sortIsCaseInsensitiveAndStable();
    void sortedSaveWritesDisplayOrderAndSortAloneWritesNothing();
    void rowsAddedAfterSortingTakeTheirPlace();
    void sortRejectsUnknownColumn();
    void selectionStaysWithItsEntryThroughASort();
    void anEditedEntryMovesToItsSortedPlace();
    void sortAgreesWithCaseInsensitiveComparison();
};

void TestCommands::withoutSelectionEachCommandSaysSo_data() {
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QString>("status");
    QTest::newRow("edit button") << "cmdEdit"
                                 << "You must first select an entry to edit.";
    QTest::newRow("edit menu") << "mnuDataItem_2"
                               << "You must first select an entry to edit.";
    QTest::newRow("delete button") << "cmdDelete"
                                   << "You must first select an entry to delete.";
    QTest::newRow("delete menu") << "mnuDataItem_1"
                                 << "You must first select an entry to delete.";
    QTest::newRow("go to button") << "cmdGoto"
                                  << "You must first select an entry to go to.";
    QTest::newRow("go to menu") << "mnuDataItem_3"
                                << "You must first select an entry to go to.";
    for (int i = 0; i < 3; ++i) {
        QTest::addRow("copy button %d", i)
            << QStringLiteral("cmdCopy_%1").arg(i) << "You must first select a row to copy from.";
        QTest::addRow("copy menu %d", i) << QStringLiteral("mnuCopyItem_%1").arg(i)
                                         << "You must first select a row to copy from.";
    }
}

void TestCommands::withoutSelectionEachCommandSaysSo() {
    QFETCH(QString, trigger);
    QFETCH(QString, status);
    for (bool empty : {true, false}) {
        Harness h;
        Form1* main = h.open(empty ? QList<QByteArray>{} : kThree);
        const QByteArray before = h.vaultBytes();
        QGuiApplication::clipboard()->setText(QStringLiteral("left over"));
        if (auto* action = main->findChild<QAction*>(trigger))
            action->trigger();
        else
            QTest::mouseClick(main->findChild<QPushButton*>(trigger), Qt::LeftButton);
        QCOMPARE(main->statusText(), status);
        QCOMPARE(h.vaultBytes(), before);
        QVERIFY(h.boxes().shown.empty());
        QVERIFY(h.shell().opened.isEmpty());
        QVERIFY(!h.program().loaded<frmAdd>());
        // Copy empties the clipboard before it looks at the selection.
        if (trigger.contains(QLatin1String("Copy")))
            QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
        else
            QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("left over"));
    }
}

void TestCommands::copyPutsOneFieldOnTheClipboard_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("status");
    QTest::newRow("username") << 0 << "a"
                              << "Copied Username a";
    QTest::newRow("password") << 1 << "pw-a"
                              << "Copied Password pw-a";
    QTest::newRow("location") << 2 << ""
                              << "Copied Location ";
}

void TestCommands::copyPutsOneFieldOnTheClipboard() {
    QFETCH(int, index);
    QFETCH(QString, value);
    QFETCH(QString, status);
    Harness h;
    Form1* main = h.open(kThree);
    selectRows(main, {1});
    main->findChild<QAction*>(QStringLiteral("mnuCopyItem_%1").arg(index))->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), value);
    QCOMPARE(main->statusText(), status);
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    QCOMPARE(mime->data(QStringLiteral("x-kde-passwordManagerHint")),
             index == 1 ? QByteArray("secret") : QByteArray());
}

void TestCommands::theListItselfCopiesNothing() {
    Harness h;
    Form1* main = h.open(kThree);
    ListView* list = main->list();
    selectRows(main, {1});
    list->setCurrentIndex(list->model()->index(1, EntryModel::Password));
    list->setFocus();
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::keySequence(list, QKeySequence::Copy);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
}

void TestCommands::severalSelectedRowsUseTheTopmost() {
    Harness h;
    Form1* main = h.open(kThree);
    selectRows(main, {2, 1});
    click(main, "cmdCopy_0");
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("a"));
    click(main, "cmdGoto");
    // Row "a" has no location: the user's own folder opens.
    QCOMPARE(h.shell().opened, QStringList{QUrl::fromLocalFile(QDir::homePath()).toString()});
    click(main, "cmdEdit");
    QCOMPARE(h.program().EditUsername, QStringLiteral("a"));
    QCOMPARE(h.program().EditRow, 2);
    h.boxes().answers = {BoxAnswer::Ok};
    click(main, "cmdDelete");
    QCOMPARE(shownUsernames(main), (QStringList{"b", "c"}));
}

void TestCommands::deleteAsksThenRemovesAndSaves() {
    Harness h;
    Form1* main = h.open(kThree);
    selectRows(main, {0});
    h.boxes().answers = {BoxAnswer::Ok};
    main->findChild<QAction*>(QStringLiteral("mnuDataItem_1"))->trigger();
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    const RecordingBoxes::Shown& box = h.boxes().shown[0];
    QCOMPARE(box.title, QStringLiteral("Confirm Delete"));
    QCOMPARE(box.buttons, BoxButtons::OkCancel);
    QCOMPARE(box.text, QStringLiteral("Are you sure you want to delete the following information?\n"
                                      "\nUsername: b\nPassword: pw-b\nUsed At: www.b.example"));
    QCOMPARE(shownUsernames(main), (QStringList{"a", "c"}));
    QCOMPARE(main->statusText(), QStringLiteral("Entry deleted successfully, data saved."));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("a|||pw-a|||") +
                                 cipherLine("c|||pw-c|||C:\\c") + "\r\n");
}

void TestCommands::deleteDeclinedChangesNothing() {
    for (BoxAnswer answer : {BoxAnswer::Cancel, BoxAnswer::Closed}) {
        Harness h;
        Form1* main = h.open(kThree);
        const QByteArray before = h.vaultBytes();
        selectRows(main, {2});
        h.boxes().answers = {answer};
        click(main, "cmdDelete");
        QCOMPARE(main->statusText(), QStringLiteral("Entry not deleted, cancelled by user"));
        QCOMPARE(shownUsernames(main), (QStringList{"b", "a", "c"}));
        QCOMPARE(h.vaultBytes(), before);
    }
}

void TestCommands::deletingTheOnlyEntryLeavesMasterLine() {
    Harness h;
    // A password of 4 MiB: the confirmation names it by its start, as the
    // list does, rather than freezing for minutes to lay all of it out.
    Form1* main = h.open({"only|||" + QByteArray(4 << 20, 'p') + "|||"});
    selectRows(main, {0});
    h.boxes().answers = {BoxAnswer::Ok};
    click(main, "cmdDelete");
    QVERIFY(h.boxes().shown.at(0).text.size() < 10'000);
    QVERIFY(h.boxes().shown.at(0).text.contains(QStringLiteral("\nPassword: pppp")));
    QCOMPARE(main->list()->rowCount(), 0);
    QCOMPARE(h.vaultBytes(), cipherLine("master") + "\r\n");
}

void TestCommands::gotoHandsTheLocationOn_data() {
    // %D stands for a folder holding "docs/", "notes.txt" and the program
    // "tool.sh"; an empty `opened` means refused.
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("refusal");
    const char* const rows[][3] = {
        {"example.org", "http://example.org", ""},
        {"EXAMPLE.COM", "http://example.com", ""},
        {"uni.edu/a?b=c", "http://uni.edu/a?b=c", ""},
        {"WWW.host", "http://www.host", ""},
        {"georgia", "http://georgia", ""},
        {"HTTPS://example.com", "https://example.com", ""},
        {"ftp://files.example", "ftp://files.example", ""},
        {"%D/docs", "file://%D/docs", ""},
        {"%D/notes.txt", "file://%D", ""},
        {"", "file://%D/home", ""},
        {"~/", "file://%D/home", ""},
        {"%D/tool.sh", "", "never starts a program"},
        {"/usr/bin/env", "", "never starts a program"},
        {"run-me.sh", "", "full path"},
        {"docs/../notes.txt", "", "full path"},
        {"C:\\Users\\me", "", "not \"C:\""},
        {"see https://x.org here", "", "full path"},
        {"%D/missing", "", "no folder or document"},
        {"my forgotten password", "", "not a valid web address"},
        {"javascript:alert(1)", "", "not \"javascript:\""},
        {"data:text/html,<b>x</b>", "", "not \"data:\""},
        {"file:///etc/shadow", "", "not \"file:\""},
        {"intranet:8080", "", "not \"intranet:\""},
        {"x-handler://run", "", "not \"x-handler:\""},
    };
    for (const auto& r : rows)
        QTest::newRow(*r[0] ? r[0] : "empty")
            << QString::fromUtf8(r[0]) << QString::fromUtf8(r[1]) << QString::fromUtf8(r[2]);
}

void TestCommands::gotoHandsTheLocationOn() {
    QFETCH(QString, location);
    QFETCH(QString, opened);
    QFETCH(QString, refusal);
    Harness h;
    const QString d = h.folder();
    QDir(d).mkpath(QStringLiteral("docs"));
    QFile notes(d + QStringLiteral("/notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    QFile tool(d + QStringLiteral("/tool.sh"));
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.setPermissions(tool.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    const QByteArray home = qgetenv("HOME");
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", home); });
    qputenv("HOME", QFile::encodeName(d + QStringLiteral("/home")));
    QDir(d).mkpath(QStringLiteral("home"));
    location.replace(QStringLiteral("%D"), d);
    opened.replace(QStringLiteral("%D"), d);

    Form1* main = h.open({"u|||p|||" + location.toUtf8()});
    selectRows(main, {0});
    main->findChild<QAction*>(QStringLiteral("mnuDataItem_3"))->trigger();
    if (opened.isEmpty()) {
        QCOMPARE(h.shell().opened, QStringList());
        QVERIFY2(main->statusText().startsWith(QStringLiteral("Not opened: ")) &&
                     main->statusText().contains(refusal),
                 qPrintable(main->statusText()));
    } else {
        QCOMPARE(h.shell().opened, QStringList{opened});
        QCOMPARE(main->statusText(), QStringLiteral("Opening Location..."));
    }
}

void TestCommands::addAfterEditKeepsHandOverValues() {
    Harness h;
    Form1* main = h.open(kThree);
    selectRows(main, {2});
    click(main, "cmdEdit");
    h.program().unload<frmAdd>();
    click(main, "cmdAdd");
    QCOMPARE(h.program().EntryMode, QStringLiteral("Add"));
    QCOMPARE(h.program().EditUsername, QStringLiteral("c"));
    QCOMPARE(h.program().EditPassword, QStringLiteral("pw-c"));
    QCOMPARE(h.program().EditLocation, QStringLiteral("C:\\c"));
    QCOMPARE(h.program().EditRow, 3);
    QVERIFY(h.program().loaded<frmAdd>());
}

void TestCommands::sortFlipsOneOrderForTheWholeList() {
    Harness h;
    Form1* main = h.open(kThree);
    clickHeader(main, 0);
    QCOMPARE(shownUsernames(main), (QStringList{"c", "b", "a"}));
    clickHeader(main, 0);
    QCOMPARE(shownUsernames(main), (QStringList{"a", "b", "c"}));
    // The next column sorts the other way round from the last sort.
    clickHeader(main, 1);
    QCOMPARE(shownUsernames(main), (QStringList{"c", "b", "a"}));
    QCOMPARE(main->list()->sortKey(), 1);
    QCOMPARE(main->list()->sortOrder(), Qt::DescendingOrder);
    clickHeader(main, 2);
    // Ascending by location: the empty one first.
    QCOMPARE(shownUsernames(main), (QStringList{"a", "c", "b"}));
}

void TestCommands::sortOfEmptyListChangesNothing() {
    Harness h;
    Form1* main = h.open({});
    clickHeader(main, 0);
    QVERIFY(!main->list()->sorted());
    QCOMPARE(main->list()->sortOrder(), Qt::AscendingOrder);
    main->entries().append(Entry{QStringLiteral("x"), QStringLiteral("1"), QString()});
    main->entries().append(Entry{QStringLiteral("y"), QStringLiteral("2"), QString()});
    clickHeader(main, 0);
    QCOMPARE(shownUsernames(main), (QStringList{"y", "x"}));
}

void TestCommands::headerArrowShowsTheListsOrder() {
    Harness h;
    Form1* main = h.open({});
    ListView* list = main->list();
    QHeaderView* header = list->header();
    auto arrowTellsTheTruth = [&] {
        if (header->isSortIndicatorShown() != list->sorted())
            return false;
        if (!list->sorted())
            return true;
        if (header->sortIndicatorSection() != list->sortKey() ||
            header->sortIndicatorOrder() != list->sortOrder())
            return false;
        for (int row = 1; row < list->rowCount(); ++row) {
            const QString a = main->entries().field(row - 1, list->sortKey()).toCaseFolded();
            const QString b = main->entries().field(row, list->sortKey()).toCaseFolded();
            if (list->sortOrder() == Qt::AscendingOrder ? b < a : a < b)
                return false;
        }
        return true;
    };
    // Clicks on an empty list, a full one, an emptied one and a refilled one.
    const int clicks[] = {0, 2, 1, 1, 0, 2, 2, 1};
    for (int round = 0; round < 4; ++round) {
        if (round % 2 == 1)
            main->entries().append(std::vector<Entry>{
                {"b", "pw-b", "www.b.example"}, {"a", "pw-a", ""}, {"B", "pw-B", "x"}});
        if (round == 2)
            while (list->rowCount() > 0)
                main->entries().remove(0);
        for (int section : clicks) {
            clickHeader(main, section);
            QVERIFY2(arrowTellsTheTruth(),
                     qPrintable(QStringLiteral("round %1, column %2").arg(round).arg(section)));
        }
    }
}

void TestCommands::sortIsCaseInsensitiveAndStable() {
    Harness h;
    Form1* main = h.open({"b|||1|||", "A|||2|||", "c|||3|||", "a|||4|||", "B|||5|||"});
    QVERIFY(EnhListView_SortColumns(main->list(), 1));
    QVERIFY(EnhListView_SortColumns(main->list(), 1));
    QCOMPARE(shownUsernames(main), (QStringList{"A", "a", "b", "B", "c"}));
}

void TestCommands::sortedSaveWritesDisplayOrderAndSortAloneWritesNothing() {
    Harness h;
    Form1* main = h.open(kThree);
    const QByteArray before = h.vaultBytes();
    clickHeader(main, 0);
    QCOMPARE(h.vaultBytes(), before);
    selectRows(main, {1}); // b
    h.boxes().answers = {BoxAnswer::Ok};
    click(main, "cmdDelete");
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("c|||pw-c|||C:\\c") +
                                 cipherLine("a|||pw-a|||") + "\r\n");
}

void TestCommands::rowsAddedAfterSortingTakeTheirPlace() {
    Harness h;
    Form1* main = h.open(kThree);
    clickHeader(main, 0); // c, b, a
    click(main, "cmdAdd");
    frmAdd* editor = h.program().loaded<frmAdd>();
    editor->findChild<QLineEdit*>(QStringLiteral("txtUsername"))->setText(QStringLiteral("bb"));
    editor->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(QStringLiteral("pw"));
    editor->cmdAdd_Click(0);
    QCOMPARE(shownUsernames(main), (QStringList{"c", "bb", "b", "a"}));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("c|||pw-c|||C:\\c") +
                                 cipherLine("bb|||pw|||") + cipherLine("b|||pw-b|||www.b.example") +
                                 cipherLine("a|||pw-a|||") + "\r\n");
}

void TestCommands::sortRejectsUnknownColumn() {
    Harness h;
    Form1* main = h.open(kThree);
    QVERIFY(!EnhListView_SortColumns(main->list(), 7));
    QVERIFY(main->list()->sorted());
    QCOMPARE(main->list()->sortOrder(), Qt::AscendingOrder);
    QVERIFY(!EnhListView_SortColumns(nullptr, 1));
}

void TestCommands::selectionStaysWithItsEntryThroughASort() {
    Harness h;
    Form1* main = h.open(kThree); // b, a, c
    selectRows(main, {1});        // a
    clickHeader(main, 0);         // c, b, a
    QCOMPARE(main->list()->firstSelectedRow(), 2);
    click(main, "cmdCopy_0");
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("a"));
}

void TestCommands::anEditedEntryMovesToItsSortedPlace() {
    Harness h;
    Form1* main = h.open(kThree);
    clickHeader(main, 0);
    clickHeader(main, 0); // a, b, c
    selectRows(main, {0});
    click(main, "cmdEdit");
    frmAdd* editor = h.program().loaded<frmAdd>();
    editor->findChild<QLineEdit*>(QStringLiteral("txtUsername"))->setText(QStringLiteral("z"));
    editor->cmdAdd_Click(0);
    QCOMPARE(shownUsernames(main), (QStringList{"b", "c", "z"}));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("b|||pw-b|||www.b.example") +
                                 cipherLine("c|||pw-c|||C:\\c") + cipherLine("z|||pw-a|||") +
                                 "\r\n");
}

void TestCommands::sortAgreesWithCaseInsensitiveComparison() {
    const QStringList names = {QStringLiteral("\u00c4rger"),
                               QStringLiteral("arger"),
                               QStringLiteral("\u00e4rger"),
                               QStringLiteral("Zebra"),
                               QStringLiteral("zeta"),
                               QStringLiteral("\u03a3\u03b9\u03b3\u03bc\u03b1"),
                               QStringLiteral("\u03c3\u03b9\u03b3\u03bc\u03b1"),
                               QStringLiteral("\U00010400x"),
                               QStringLiteral("\U00010428y"),
                               QStringLiteral(""),
                               QStringLiteral("10"),
                               QStringLiteral("9"),
                               QStringLiteral("\u01c4a"),
                               QStringLiteral("\u01c6b"),
                               QStringLiteral("stra\u00dfe"),
                               QStringLiteral("STRASSE"),
                               QStringLiteral("\uff21"),
                               QStringLiteral("\uff41")};
    Harness h;
    Form1* main = h.open({});
    for (const QString& n : names)
        main->entries().append(Entry{n, QStringLiteral("p"), QString()});
    for (int click = 0; click < 2; ++click) {
        main->lstPass_ColumnClick(1);
        const QStringList shown = shownUsernames(main);
        QCOMPARE(shown.size(), names.size());
        const int sign = main->list()->sortOrder() == Qt::AscendingOrder ? 1 : -1;
        for (qsizetype i = 1; i < shown.size(); ++i)
            QVERIFY2(sign * QString::compare(shown[i - 1], shown[i], Qt::CaseInsensitive) <= 0,
                     qPrintable(shown[i - 1] + QStringLiteral(" / ") + shown[i]));
    }
}

KEYNOOK_GUI_TEST_MAIN(TestCommands)
#include "tst_commands.moc"

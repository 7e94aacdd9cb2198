// The entry editor: adding, editing, its refusals, and staying bound to the
// entry it edits.
#include "support/TestSupport.h"

#include "FileSizeLimit.h"

#include "dialogs/frmAdd.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

#include <cstdio>

#include <csignal>
#include <sys/resource.h>

namespace {

QLineEdit* field(frmAdd* editor, const char* name) {
    return editor->findChild<QLineEdit*>(QString::fromLatin1(name));
}

void fill(frmAdd* editor, const QString& user, const QString& pass, const QString& site) {
    field(editor, "txtUsername")->setText(user);
    field(editor, "txtPassword")->setText(pass);
    field(editor, "txtWebsite")->setText(site);
}

frmAdd* openAdd(Form1* main) {
    QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("cmdAdd")), Qt::LeftButton);
    return main->program().loaded<frmAdd>();
}

frmAdd* openEdit(Form1* main, int displayRow) {
    selectRows(main, {displayRow});
    QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("cmdEdit")), Qt::LeftButton);
    return main->program().loaded<frmAdd>();
}

void save(frmAdd* editor) {
    QTest::mouseClick(editor->findChild<QPushButton*>(QStringLiteral("cmdAdd")), Qt::LeftButton);
}

const QString kAdded = QStringLiteral("Added new entry.  Data saved.");

} // namespace

class TestFrmAdd : public QObject {
    Q_OBJECT

private slots:
    void addWithEmptyWebsite();
    void enterInWebsiteSaves();
    void refusalsKeepTheDialogAndItsText_data();
    void refusalsKeepTheDialogAndItsText();
    void otherKeysNeitherSaveNorClose();
    void editWithoutChangeRewritesTheEntry();
    void editOfVeryLongFieldsSavesThemWhole();
    void cancelOrCloseChangesNothing_data();
    void cancelOrCloseChangesNothing();
    void addWhileEditingTurnsSaveIntoAdd();
    void editStaysOnItsEntryThroughASort();
    void editOfADeletedEntryOverwritesNothing();
    void editOfAnEntryDeletedInAnotherCopyBringsItBack();
    void failedSaveSaysSoAndIsOfferedAgainAtClose();
};

void TestFrmAdd::addWithEmptyWebsite() {
    Harness h;
    Form1* main = h.open({"old|||pw|||"});
    frmAdd* editor = openAdd(main);
    QVERIFY(editor && editor->isVisible());
    QCOMPARE(editor->windowTitle(), QStringLiteral("Add an entry"));
    QVERIFY(field(editor, "txtUsername")->text().isEmpty());
    // Nothing moves the focus: it starts on the first control, Cancel.
    QCOMPARE(editor->focusWidget(), editor->findChild<QWidget*>(QStringLiteral("cmdDelete")));
    fill(editor, QStringLiteral(" "), QStringLiteral("secret pw"), QString());
    save(editor);
    QCOMPARE(shownUsernames(main), (QStringList{"old", " "}));
    QCOMPARE(main->statusText(), kAdded);
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("old|||pw|||") +
                                 cipherLine(" |||secret pw|||") + "\r\n");
    QVERIFY(!h.program().loaded<frmAdd>());
}

void TestFrmAdd::enterInWebsiteSaves() {
    Harness h;
    Form1* main = h.open({});
    frmAdd* editor = openAdd(main);
    fill(editor, QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("w.example"));
    QTest::keyClick(field(editor, "txtWebsite"), Qt::Key_Return);
    QCOMPARE(main->list()->rowCount(), 1);
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("u|||p|||w.example") + "\r\n");
}

void TestFrmAdd::refusalsKeepTheDialogAndItsText_data() {
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::addColumn<QString>("message");
    QTest::newRow("no username") << ""
                                 << "p"
                                 << "You must enter a username";
    QTest::newRow("neither") << ""
                             << ""
                             << "You must enter a username";
    QTest::newRow("no password") << "u"
                                 << ""
                                 << "You must enter a password";
}

void TestFrmAdd::refusalsKeepTheDialogAndItsText() {
    QFETCH(QString, user);
    QFETCH(QString, pass);
    QFETCH(QString, message);
    Harness h;
    Form1* main = h.open({});
    const QByteArray before = h.vaultBytes();
    frmAdd* editor = openAdd(main);
    fill(editor, user, pass, QStringLiteral("site"));
    h.boxes().answers = {BoxAnswer::Ok};
    QTest::keyClick(field(editor, "txtWebsite"), Qt::Key_Return);
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QCOMPARE(h.boxes().shown[0].text, message);
    QCOMPARE(h.boxes().shown[0].title, QStringLiteral("Error"));
    QCOMPARE(h.boxes().shown[0].buttons, BoxButtons::Ok);
    QCOMPARE(h.program().loaded<frmAdd>(), editor);
    QCOMPARE(field(editor, "txtPassword")->text(), pass);
    QCOMPARE(field(editor, "txtWebsite")->text(), QStringLiteral("site"));
    QCOMPARE(main->list()->rowCount(), 0);
    QCOMPARE(h.vaultBytes(), before);
}

void TestFrmAdd::otherKeysNeitherSaveNorClose() {
    Harness h;
    Form1* main = h.open({});
    frmAdd* editor = openAdd(main);
    fill(editor, QStringLiteral("u"), QStringLiteral("p"), QString());
    QTest::keyClick(field(editor, "txtUsername"), Qt::Key_Return);
    QTest::keyClick(field(editor, "txtPassword"), Qt::Key_Return);
    QTest::keyClick(field(editor, "txtPassword"), Qt::Key_Escape);
    QTest::keyClick(editor, Qt::Key_Escape);
    QCOMPARE(h.program().loaded<frmAdd>(), editor);
    QVERIFY(editor->isVisible());
    QCOMPARE(main->list()->rowCount(), 0);
}

void TestFrmAdd::editWithoutChangeRewritesTheEntry() {
    Harness h;
    Form1* main = h.open({"a|||1|||x", "b|||2|||y"});
    // Gone since it was read: the save asks before it writes the list back.
    QFile::remove(h.vaultPath());
    h.boxes().answers = {BoxAnswer::Ok};
    frmAdd* editor = openEdit(main, 1);
    QCOMPARE(editor->windowTitle(), QStringLiteral("Edit an entry"));
    QCOMPARE(field(editor, "txtUsername")->text(), QStringLiteral("b"));
    QCOMPARE(field(editor, "txtPassword")->text(), QStringLiteral("2"));
    QCOMPARE(field(editor, "txtWebsite")->text(), QStringLiteral("y"));
    save(editor);
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QVERIFY(h.boxes().shown[0].text.contains(QStringLiteral("changed by another program")));
    QCOMPARE(main->statusText(), kAdded);
    QCOMPARE(h.vaultBytes(),
             cipherLine("master") + cipherLine("a|||1|||x") + cipherLine("b|||2|||y") + "\r\n");
}

void TestFrmAdd::editOfVeryLongFieldsSavesThemWhole() {
    Harness h;
    const QByteArray line = "user|||" + QByteArray(40000, 'p') + "|||" + QByteArray(40000, 'l');
    Form1* main = h.open({line});
    const QByteArray before = h.vaultBytes();
    frmAdd* editor = openEdit(main, 0);
    save(editor);
    QCOMPARE(main->statusText(), kAdded);
    QCOMPARE(h.vaultBytes(), before);
}

void TestFrmAdd::cancelOrCloseChangesNothing_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("cancel") << false;
    QTest::newRow("close box") << true;
}

void TestFrmAdd::cancelOrCloseChangesNothing() {
    QFETCH(bool, closeBox);
    Harness h;
    Form1* main = h.open({"a|||1|||x"});
    const QByteArray before = h.vaultBytes();
    const QString status = main->statusText();
    frmAdd* editor = openEdit(main, 0);
    fill(editor, QStringLiteral("changed"), QStringLiteral("changed"), QString());
    if (closeBox)
        editor->close();
    else
        QTest::mouseClick(editor->findChild<QPushButton*>(QStringLiteral("cmdDelete")),
                          Qt::LeftButton);
    QVERIFY(!h.program().loaded<frmAdd>());
    QCOMPARE(shownUsernames(main), QStringList{"a"});
    QCOMPARE(main->statusText(), status);
    QCOMPARE(h.vaultBytes(), before);
    QVERIFY(h.boxes().shown.empty());
}

void TestFrmAdd::addWhileEditingTurnsSaveIntoAdd() {
    Harness h;
    Form1* main = h.open({"a|||1|||", "b|||2|||"});
    frmAdd* editor = openEdit(main, 0);
    QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("cmdAdd")), Qt::LeftButton);
    QCOMPARE(h.program().loaded<frmAdd>(), editor);
    QCOMPARE(editor->windowTitle(), QStringLiteral("Edit an entry"));
    QCOMPARE(field(editor, "txtUsername")->text(), QStringLiteral("a"));
    field(editor, "txtUsername")->setText(QStringLiteral("a2"));
    save(editor);
    QCOMPARE(shownUsernames(main), (QStringList{"a", "b", "a2"}));
}

void TestFrmAdd::editStaysOnItsEntryThroughASort() {
    Harness h;
    Form1* main = h.open({"b|||1|||", "a|||2|||", "c|||3|||"});
    frmAdd* editor = openEdit(main, 0); // b, at the top
    main->lstPass_ColumnClick(1);       // c, b, a: b is no longer first
    field(editor, "txtPassword")->setText(QStringLiteral("new"));
    save(editor);
    QCOMPARE(shownUsernames(main), (QStringList{"c", "b", "a"}));
    QCOMPARE(h.vaultBytes(), cipherLine("master") + cipherLine("c|||3|||") +
                                 cipherLine("b|||new|||") + cipherLine("a|||2|||") + "\r\n");
    // A second Edit while the editor is open retargets its Save.
    editor = openEdit(main, 2); // a
    openEdit(main, 0);          // c
    field(editor, "txtUsername")->setText(QStringLiteral("c2"));
    save(editor);
    QCOMPARE(shownUsernames(main), (QStringList{"c2", "b", "a"}));
}

void TestFrmAdd::editOfADeletedEntryOverwritesNothing() {
    Harness h;
    Form1* main = h.open({"a|||1|||", "b|||2|||"});
    frmAdd* editor = openEdit(main, 0);
    selectRows(main, {0});
    h.boxes().answers = {BoxAnswer::Ok, BoxAnswer::Ok};
    QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("cmdDelete")), Qt::LeftButton);
    const QByteArray afterDelete = h.vaultBytes();
    QCOMPARE(afterDelete, cipherLine("master") + cipherLine("b|||2|||") + "\r\n");
    fill(editor, QStringLiteral("typed"), QStringLiteral("text"), QStringLiteral("kept"));
    save(editor);
    QCOMPARE(h.boxes().shown.size(), size_t(2));
    QCOMPARE(h.boxes().shown[1].title, QStringLiteral("Error"));
    QVERIFY(h.boxes().shown[1].text.contains(QStringLiteral("deleted")));
    QCOMPARE(h.program().loaded<frmAdd>(), editor);
    QCOMPARE(field(editor, "txtUsername")->text(), QStringLiteral("typed"));
    QCOMPARE(shownUsernames(main), QStringList{"b"});
    QCOMPARE(h.vaultBytes(), afterDelete);
}

// Another copy deleted the entry while it was being edited here (a sync
// engine delivered that copy): the edit brings it back, as a merge keeps an
// edit, instead of being turned away.
void TestFrmAdd::editOfAnEntryDeletedInAnotherCopyBringsItBack() {
    Harness h;
    Form1* main = h.open({"a|||1|||", "b|||2|||"});
    frmAdd* editor = openEdit(main, 1);
    const QString delivered = h.folder() + QStringLiteral("/delivered");
    {
        QFile f(delivered);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(cipherLine("master") + cipherLine("a|||1|||") + "\r\n");
    }
    QVERIFY(std::rename(QFile::encodeName(delivered).constData(),
                        QFile::encodeName(h.vaultPath()).constData()) == 0);
    QTRY_COMPARE(main->entries().rowCount(), 1);
    fill(editor, QStringLiteral("b"), QStringLiteral("new"), QString());
    save(editor);
    QVERIFY(h.boxes().shown.empty());
    QCOMPARE(main->statusText(), kAdded);
    QCOMPARE(h.vaultBytes(),
             cipherLine("master") + cipherLine("a|||1|||") + cipherLine("b|||new|||") + "\r\n");
}

void TestFrmAdd::failedSaveSaysSoAndIsOfferedAgainAtClose() {
    Harness h;
    Form1* main = h.open({"a|||1|||"});
    const QByteArray before = h.vaultBytes();
    auto limit = std::make_unique<FileSizeLimit>(4);

    frmAdd* editor = openAdd(main);
    fill(editor, QStringLiteral("new"), QStringLiteral("entry"), QString());
    h.boxes().answers = {BoxAnswer::Ok};
    save(editor);
    QCOMPARE(h.vaultBytes(), before);
    QVERIFY2(main->statusText().startsWith(QStringLiteral("Not saved")),
             qPrintable(main->statusText()));
    QCOMPARE(shownUsernames(main), (QStringList{"a", "new"}));

    // Closing tries once more, and asks before the change is lost.
    h.boxes().answers = {BoxAnswer::Ok, BoxAnswer::Cancel};
    main->close();
    QVERIFY(!h.program().ended());
    QCOMPARE(h.boxes().shown.back().buttons, BoxButtons::OkCancel);

    limit.reset();
    main->close();
    QVERIFY(h.program().ended());
    QCOMPARE(h.vaultBytes(),
             cipherLine("master") + cipherLine("a|||1|||") + cipherLine("new|||entry|||") + "\r\n");
}

KEYNOOK_GUI_TEST_MAIN(TestFrmAdd)
#include "tst_frmadd.moc"

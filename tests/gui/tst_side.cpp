// The start through the splash, the skin, and the side windows: help, about
// and website.
#include "support/TestSupport.h"

#include "appearance/PictureBox.h"
#include "appearance/SkinComponent.h"
#include "appearance/SkinLabel.h"
#include "appearance/modSkin.h"
#include "dialogs/frmAdd.h"
#include "dialogs/frmPass.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "platform/Twips.h"
#include "side/Form8.h"
#include "side/frmAbout.h"
#include "side/frmWebsite.h"
#include "side/modTarvel.h"
#include "startup/frmSplash.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>

namespace {

const QString kSettings = QStringLiteral("Settings");
const QString kShowHelp = QStringLiteral("showHelp");
const QByteArray kHelp = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0 Hello {\\b help} reader.\\par}";

// Runs the splash to its hand-over, ticking it by hand.
frmSplash* startThroughSplash(Harness& h) {
    h.program().start();
    frmSplash* splash = h.program().loaded<frmSplash>();
    if (!splash)
        return nullptr;
    splash->timer()->stop();
    for (int i = 0; i < 75; ++i)
        splash->Timer2_Timer();
    return splash;
}

// Starts through the splash, unlocks a vault with no entries and returns the
// main window.
Form1* startAndUnlock(Harness& h) {
    h.writeVault(cipherLine("master") + "\r\n");
    if (!startThroughSplash(h))
        return nullptr;
    frmPass* dialog = h.program().loaded<frmPass>();
    dialog->findChild<QLineEdit*>(QStringLiteral("txtPass"))->setText(QStringLiteral("master"));
    dialog->cmdOK_Click();
    return h.program().loaded<Form1>();
}

void writeHelp(const Harness& h, const QString& name = QStringLiteral("Help.rtf")) {
    QFile f(h.folder() + QLatin1Char('/') + name);
    if (f.open(QIODevice::WriteOnly))
        f.write(kHelp);
}

QString setting(Harness& h) {
    return h.program().settings().read(kSettings, kShowHelp, QStringLiteral("<none>"));
}

QColor colorOf(QWidget* w, QPalette::ColorRole role) {
    return w->palette().color(role);
}

} // namespace

class TestSide : public QObject {
    Q_OBJECT

private slots:
    void splashHandsOverOnTheSeventyFifthTick();
    void windowsOpenedLaterWearTheSkin();
    void skinGivesItsFourColours();
    void colorControlsByKind();
    void vistaOnlyOnNewerNtSystems_data();
    void vistaOnlyOnNewerNtSystems();
    void helpAtStartFollowsTheSetting_data();
    void helpAtStartFollowsTheSetting();
    void helpCheckBoxWritesEachClick();
    void missingOrOversizedHelpFileShowsNothing_data();
    void missingOrOversizedHelpFileShowsNothing();
    void helpFileIsFoundWhateverTheCaseOfItsName();
    void aboutShowsTheVersionRecord_data();
    void aboutShowsTheVersionRecord();
    void aboutCopiesPlainLabelsAgainEachOpening();
    void websiteOpensOnceAndKeepsTheSecondRequest();
    void pendingWebsiteRequestOpensAtExit();
    void websiteAddress_data();
    void websiteAddress();
    void exitClosesEveryWindowAndStopsTheSkin();
};

void TestSide::splashHandsOverOnTheSeventyFifthTick() {
    Harness h;
    h.program().start();
    frmSplash* splash = h.program().loaded<frmSplash>();
    QVERIFY(splash && splash->isVisible());
    QVERIFY(splash->windowFlags().testFlag(Qt::FramelessWindowHint));
    // The window keeps its designed size; the picture sits at its own size
    // in the top left corner.
    QCOMPARE(splash->size(), twRect(0, 0, 7170, 4770).size());
    const QImage picture(QStringLiteral(":/splash.jpg"));
    const QImage shown = splash->grab().toImage();
    QCOMPARE(shown.pixel(0, 0), picture.pixel(0, 0));
    const QPoint corner(picture.width() - 1, picture.height() - 1);
    QCOMPARE(shown.pixel(corner), picture.pixel(corner));
    QCOMPARE(h.program().BrandProductName, QStringLiteral("Keynook"));
    QCOMPARE(h.program().BrandCompanyName, QStringLiteral("Quietlatch Labs"));
    QCOMPARE(h.program().BrandComments, QStringLiteral("www.keynook.example"));
    QVERIFY(h.program().UseSkin);
    QCOMPARE(h.program().SkinObject.data(), splash->findChild<Skin*>(QStringLiteral("skn")));
    QVERIFY(h.program().companion().running());
    QCOMPARE(h.program().companion().attached(), h.program().SkinObject.data());
    QVERIFY(!splash->styleSheet().isEmpty());
    QVERIFY(splash->timer()->isActive());

    splash->timer()->stop();
    for (int i = 1; i <= 74; ++i)
        splash->Timer2_Timer();
    QCOMPARE(splash->intTemp, short(148));
    QVERIFY(!h.program().loaded<Form1>());
    QVERIFY(splash->isVisible());

    splash->Timer2_Timer();
    QCOMPARE(splash->intTemp, short(150));
    QVERIFY(!splash->timer()->isActive());
    QVERIFY(h.program().loaded<Form1>());
    QVERIFY(h.program().loaded<frmPass>()); // asking, without waiting for the answer
    QVERIFY(!splash->isVisible());
    QCOMPARE(h.program().loaded<frmSplash>(), splash);
    QCOMPARE(h.vaultBytes(), QByteArray("\r\n"));
}

void TestSide::windowsOpenedLaterWearTheSkin() {
    Harness h;
    Form1* main = startAndUnlock(h);
    QVERIFY(main && main->isVisible());
    QVERIFY(main->styleSheet().contains(QStringLiteral("#Form1")));
    QCOMPARE(colorOf(main->list(), QPalette::Base), QColor(Qt::white));
    QCOMPARE(colorOf(main->list(), QPalette::Text), QColor(Qt::black));
    main->cmdAdd_Click(0);
    frmAdd* editor = h.program().loaded<frmAdd>();
    QVERIFY(editor->styleSheet().contains(QStringLiteral("#frmAdd")));
    QCOMPARE(colorOf(editor->findChild<QLineEdit*>(QStringLiteral("txtUsername")), QPalette::Base),
             QColor(Qt::white));
    main->mnuAboutItem_Click();
    QVERIFY(!h.program().loaded<frmAbout>()->styleSheet().isEmpty());
    // The splash still exists, hidden, as the skin's home.
    QVERIFY(h.program().loaded<frmSplash>());
    QVERIFY(h.program().SkinObject);
}

void TestSide::skinGivesItsFourColours() {
    Skin skin(nullptr);
    QCOMPARE(skin.backColor(), 0xFFFFFFu);
    QCOMPARE(skin.foreColor(), 0x000000u);
    QCOMPARE(skin.panelColor(), 0xEBEBEBu);
    QCOMPARE(skin.panelTextColor(), 0x000000u);
    QVERIFY(!skin.name().isEmpty());
    // Red in the low byte.
    QCOMPARE(Skin::colorNumber(0x12, 0x34, 0x56), 0x563412u);
    Skin none(nullptr, QStringLiteral(":/no-such.skin"));
    QWidget w;
    none.apply(&w);
    QVERIFY(w.styleSheet().isEmpty());
}

void TestSide::colorControlsByKind() {
    QWidget window;
    auto* button = new QPushButton(&window);
    auto* text = new QLineEdit(&window);
    auto* combo = new QComboBox(&window);
    auto* listBox = new QListWidget(&window);
    auto* listView = new QTreeView(&window);
    auto* picture = new PictureBox(QStringLiteral("p"), &window);
    auto* label = new QLabel(&window);
    auto* skinLabel = new SkinLabel(QStringLiteral("s"), QString(), &window);
    auto* check = new QCheckBox(&window);
    auto* status = new QStatusBar(&window);
    new QTimer(&window);
    const QColor labelText = colorOf(label, QPalette::WindowText);
    const QColor checkBase = colorOf(check, QPalette::Button);
    const QColor statusWindow = colorOf(status, QPalette::Window);

    const quint32 back = Skin::colorNumber(255, 0, 0);
    const quint32 fore = Skin::colorNumber(0, 255, 0);
    const quint32 panel = Skin::colorNumber(0, 0, 255);
    const quint32 panelText = Skin::colorNumber(9, 9, 9);
    ColorControls(&window, back, fore, panel, panelText);

    QCOMPARE(colorOf(button, QPalette::Button), QColor(255, 0, 0));
    for (QWidget* box : {static_cast<QWidget*>(text), static_cast<QWidget*>(combo),
                         static_cast<QWidget*>(listBox), static_cast<QWidget*>(listView)}) {
        QCOMPARE(colorOf(box, QPalette::Base), QColor(255, 0, 0));
        QCOMPARE(colorOf(box, QPalette::Text), QColor(0, 255, 0));
    }
    QCOMPARE(colorOf(picture, QPalette::Window), QColor(0, 0, 255));
    QCOMPARE(colorOf(label, QPalette::WindowText), labelText);
    QCOMPARE(colorOf(check, QPalette::Button), checkBase);
    QCOMPARE(colorOf(status, QPalette::Window), statusWindow);
    QVERIFY(colorOf(skinLabel, QPalette::Window) != QColor(0, 0, 255));

    QCOMPARE(controlTypeName(button), QStringLiteral("CommandButton"));
    QCOMPARE(controlTypeName(text), QStringLiteral("TextBox"));
    QCOMPARE(controlTypeName(listView), QStringLiteral("ListView"));
    QCOMPARE(controlTypeName(listBox), QStringLiteral("ListBox"));
    QCOMPARE(controlTypeName(picture), QStringLiteral("PictureBox"));
    QCOMPARE(controlTypeName(label), QStringLiteral("Label"));
    QCOMPARE(controlTypeName(skinLabel), QStringLiteral("SkinLabel"));
}

void TestSide::vistaOnlyOnNewerNtSystems_data() {
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("platform");
    QTest::addColumn<int>("major");
    QTest::addColumn<bool>("vista");
    QTest::newRow("no version record") << false << 2 << 10 << false;
    QTest::newRow("XP") << true << 2 << 5 << false;
    QTest::newRow("Vista") << true << 2 << 6 << true;
    QTest::newRow("10") << true << 2 << 10 << true;
    QTest::newRow("95 family") << true << 1 << 6 << false;
}

void TestSide::vistaOnlyOnNewerNtSystems() {
    QFETCH(bool, known);
    QFETCH(int, platform);
    QFETCH(int, major);
    QFETCH(bool, vista);
    Harness h;
    h.system().known = known;
    h.system().version = WindowsVersion{platform, major, 0};
    QCOMPARE(IsVista(h.program()), vista);

    Form1* main = startAndUnlock(h);
    // On Vista and later the companion stops as the main window loads, and
    // every skinned window gets a region that clips nothing.
    QCOMPARE(h.program().companion().stops(), vista ? 1 : 0);
    QCOMPARE(!main->mask().isEmpty(), vista);
    if (vista) {
        // Counted from the client area's corner, the region holds the whole
        // window, frame and caption included.
        QVERIFY(main->frameGeometry() != main->geometry());
        const QRect outer(main->frameGeometry().topLeft() - main->geometry().topLeft(),
                          main->frameGeometry().size());
        QCOMPARE(main->mask().rectCount(), 1);
        QVERIFY(main->mask().boundingRect().contains(outer));
    }
    main->close();
    QCOMPARE(h.program().companion().stops(), vista ? 2 : 1);
    QVERIFY(!h.program().companion().running());
}

void TestSide::helpAtStartFollowsTheSetting_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("shownAtStart");
    QTest::addColumn<Qt::CheckState>("boxFromMenu");
    QTest::newRow("missing") << QString() << true << Qt::Checked;
    QTest::newRow("0") << "0" << false << Qt::Unchecked;
    QTest::newRow("abc") << "abc" << false << Qt::Checked;
    QTest::newRow("empty") << "" << false << Qt::Checked;
    QTest::newRow("2") << "2" << false << Qt::PartiallyChecked;
}

void TestSide::helpAtStartFollowsTheSetting() {
    QFETCH(QString, stored);
    QFETCH(bool, shownAtStart);
    QFETCH(Qt::CheckState, boxFromMenu);
    Harness h;
    writeHelp(h);
    if (!stored.isNull())
        h.program().settings().write(kSettings, kShowHelp, stored);
    Form1* main = startAndUnlock(h);
    Form8* help = h.program().loaded<Form8>();
    QCOMPARE(help != nullptr && help->isVisible(), shownAtStart);
    if (!help) {
        main->findChild<QAction*>(QStringLiteral("mnuHelpItem_0"))->trigger();
        help = h.program().loaded<Form8>();
    }
    QVERIFY(help->isVisible());
    QCOMPARE(help->windowTitle(), QStringLiteral("Readme/Help"));
    QVERIFY(help->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(help->findChild<QCheckBox*>(QStringLiteral("Check1"))->checkState(), boxFromMenu);
    QVERIFY(help->findChild<QTextEdit*>(QStringLiteral("rtf1"))
                ->toPlainText()
                .contains(QStringLiteral("Hello help reader.")));
    // A link in the help text goes to the browser.
    auto* text = help->findChild<QTextBrowser*>(QStringLiteral("rtf1"));
    emit text->anchorClicked(QUrl(QStringLiteral("http://www.keynook.example/help")));
    QCOMPARE(h.shell().addresses, QStringList{"http://www.keynook.example/help"});
    // Opening reads the setting and writes nothing new.
    QCOMPARE(setting(h), stored.isNull() ? QStringLiteral("<none>") : stored);
}

void TestSide::helpCheckBoxWritesEachClick() {
    Harness h;
    writeHelp(h);
    h.program().settings().write(kSettings, kShowHelp, QStringLiteral("abc"));
    Form1* main = startAndUnlock(h);
    main->mnuHelpItem_Click();
    auto* box = h.program().loaded<Form8>()->findChild<QCheckBox*>(QStringLiteral("Check1"));
    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(box->checkState(), Qt::Unchecked);
    QCOMPARE(setting(h), QStringLiteral("0"));
    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(setting(h), QStringLiteral("1"));
    // A grayed box from the store goes to checked on a click, never to gray.
    h.program().unload<Form8>();
    h.program().settings().write(kSettings, kShowHelp, QStringLiteral("2"));
    main->mnuHelpItem_Click();
    box = h.program().loaded<Form8>()->findChild<QCheckBox*>(QStringLiteral("Check1"));
    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(setting(h), QStringLiteral("1"));
    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(setting(h), QStringLiteral("0"));
}

void TestSide::missingOrOversizedHelpFileShowsNothing_data() {
    QTest::addColumn<qint64>("size");
    QTest::newRow("missing") << qint64(-1);
    // Far past any help text: laying it out held up every start for minutes.
    QTest::newRow("2 MiB") << qint64(2 << 20);
}

void TestSide::missingOrOversizedHelpFileShowsNothing() {
    QFETCH(qint64, size);
    Harness h;
    if (size >= 0) {
        QFile f(h.folder() + QStringLiteral("/Help.rtf"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QByteArray text = kHelp;
        text.insert(text.size() - 1, QByteArray(size - text.size(), 'x'));
        f.write(text);
    }
    Form1* main = startAndUnlock(h);
    Form8* help = h.program().loaded<Form8>();
    QVERIFY(help);
    QVERIFY(!help->isVisible());
    main->mnuHelpItem_Click();
    QVERIFY(!help->isVisible());
    QVERIFY(!help->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(setting(h), QStringLiteral("<none>"));
}

void TestSide::helpFileIsFoundWhateverTheCaseOfItsName() {
    Harness h;
    writeHelp(h, QStringLiteral("HELP.RTF"));
    startAndUnlock(h);
    Form8* help = h.program().loaded<Form8>();
    QVERIFY(help && help->isVisible());
    QVERIFY(help->findChild<QTextEdit*>(QStringLiteral("rtf1"))
                ->toPlainText()
                .contains(QStringLiteral("Hello help reader.")));
}

void TestSide::aboutShowsTheVersionRecord_data() {
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("company");
    QTest::addColumn<QString>("version");
    QTest::newRow("1.2") << 2 << "Quietlatch Labs"
                         << "1.2";
    QTest::newRow("1.10, no company") << 10 << ""
                                      << "1.10";
}

void TestSide::aboutShowsTheVersionRecord() {
    QFETCH(int, minor);
    QFETCH(QString, company);
    QFETCH(QString, version);
    VersionRecord record = VersionRecord::ofBuild();
    record.major = 1;
    record.minor = minor;
    record.companyName = company;
    Harness h(record);
    Form1* main = startAndUnlock(h);
    main->findChild<QAction*>(QStringLiteral("mnuAboutItem_0"))->trigger();
    frmAbout* about = h.program().loaded<frmAbout>();
    QVERIFY(about->isVisible());
    QCOMPARE(about->windowTitle(), QStringLiteral("About Keynook"));
    auto text = [&](const char* name) {
        return about->findChild<QLabel*>(QString::fromLatin1(name))->text();
    };
    QCOMPARE(text("Label1"), QStringLiteral("Keynook"));
    QCOMPARE(text("lblVersion"), version);
    QCOMPARE(text("lblCompany"), company);
    QCOMPARE(text("lblWebsite"), QStringLiteral("www.keynook.example"));
    QCOMPARE(text("Label3"), QStringLiteral("Owned By:"));
}

void TestSide::aboutCopiesPlainLabelsAgainEachOpening() {
    Harness h;
    Form1* main = startAndUnlock(h);
    for (int opening = 0; opening < 2; ++opening) {
        main->mnuAboutItem_Click();
        frmAbout* about = h.program().loaded<frmAbout>();
        QStringList copied;
        for (int i = 1; i <= 4; ++i) {
            auto* copy = about->findChild<SkinLabel*>(QStringLiteral("SkinLabel1_%1").arg(i));
            QVERIFY(copy);
            copied << copy->text();
        }
        QVERIFY(!about->findChild<SkinLabel*>(QStringLiteral("SkinLabel1_5")));
        for (const char* name : {"Label2", "Label3", "Label4", "Label5"}) {
            auto* plain = about->findChild<QLabel*>(QString::fromLatin1(name));
            QVERIFY(copied.contains(plain->text()));
            bool over = false;
            for (SkinLabel* s : about->findChildren<SkinLabel*>())
                over = over || (s->text() == plain->text() && s->geometry() == plain->geometry() &&
                                s->font() == plain->font());
            QVERIFY2(over, name);
        }
        about->close();
        Harness::flushDeletes();
        QVERIFY(!h.program().loaded<frmAbout>());
    }
}

void TestSide::websiteOpensOnceAndKeepsTheSecondRequest() {
    Harness h;
    Form1* main = startAndUnlock(h);
    auto* button = main->findChild<QPushButton*>(QStringLiteral("cmdWebsite"));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(h.shell().addresses, QStringList{"http://www.keynook.example"});
    frmWebsite* website = h.program().loaded<frmWebsite>();
    QVERIFY(website && !website->isVisible());
    QVERIFY(h.program().WebsiteTarget.isEmpty());
    QCOMPARE(website->timer()->interval(), 10000);
    QVERIFY(website->timer()->isActive());

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(h.shell().addresses.size(), 1);
    QCOMPARE(h.program().WebsiteTarget, QStringLiteral("Website"));

    website->Timer1_Timer();
    QVERIFY(!h.program().loaded<frmWebsite>());
    QCOMPARE(h.shell().addresses.size(), 1);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(h.shell().addresses.size(), 2);

    // Any other request opens nothing and stays as it was.
    h.program().loaded<frmWebsite>()->Timer1_Timer();
    h.program().WebsiteTarget = QStringLiteral("website");
    h.program().form<frmWebsite>();
    QCOMPARE(h.shell().addresses.size(), 2);
    QCOMPARE(h.program().WebsiteTarget, QStringLiteral("website"));
}

void TestSide::pendingWebsiteRequestOpensAtExit() {
    Harness h;
    Form1* main = startAndUnlock(h);
    main->cmdWebsite_Click(0);
    main->cmdWebsite_Click(0);
    QCOMPARE(h.shell().addresses.size(), 1);
    h.program().loaded<frmWebsite>()->Timer1_Timer();
    main->close();
    QCOMPARE(h.shell().addresses.size(), 2);
    QVERIFY(h.program().ended());
    // With nothing pending, the exit opens nothing.
    Harness quiet;
    startAndUnlock(quiet)->close();
    QVERIFY(quiet.shell().addresses.isEmpty());
}

void TestSide::websiteAddress_data() {
    QTest::addColumn<QString>("comments");
    QTest::addColumn<QString>("address");
    QTest::newRow("bare domain") << "keynook.example"
                                 << "http://keynook.example";
    QTest::newRow("http") << "HTTP://keynook.example"
                          << "HTTP://keynook.example";
    QTest::newRow("https inside") << "see hTTps://x.example"
                                  << "see hTTps://x.example";
    QTest::newRow("empty") << ""
                           << "http://";
}

void TestSide::websiteAddress() {
    QFETCH(QString, comments);
    QFETCH(QString, address);
    VersionRecord record = VersionRecord::ofBuild();
    record.comments = comments;
    Harness h(record);
    startAndUnlock(h)->cmdWebsite_Click(0);
    QCOMPARE(h.shell().addresses, QStringList{address});
}

void TestSide::exitClosesEveryWindowAndStopsTheSkin() {
    Harness h;
    writeHelp(h);
    Form1* main = startAndUnlock(h);
    main->mnuAboutItem_Click();
    main->cmdAdd_Click(0);
    QVERIFY(h.program().loaded<Form8>() && h.program().loaded<frmAbout>() &&
            h.program().loaded<frmAdd>() && h.program().loaded<frmSplash>());
    main->findChild<QAction*>(QStringLiteral("mnuFileItem_0"))->trigger();
    QVERIFY(h.program().ended());
    QVERIFY(!h.program().loaded<Form8>() && !h.program().loaded<frmAbout>() &&
            !h.program().loaded<frmAdd>() && !h.program().loaded<frmSplash>() &&
            !h.program().loaded<frmWebsite>());
    QCOMPARE(h.program().companion().stops(), 1);
}

KEYNOOK_GUI_TEST_MAIN(TestSide)
#include "tst_side.moc"

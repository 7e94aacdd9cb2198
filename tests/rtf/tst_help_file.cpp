#include "RtfTestSupport.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QTextTable>

#include <gtest/gtest.h>

// The help file that ships with the program, read as the help window reads
// it: it must be valid RTF for our reader, show no RTF syntax as text, fit the
// window, and tell the user what the program really does.

namespace {

QByteArray helpFile() {
    QFile f(QStringLiteral(KEYNOOK_HELP_FILE));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << KEYNOOK_HELP_FILE;
    return f.readAll();
}

// The help window's text box is 10275 twips wide; less a vertical scroll bar.
constexpr double kHelpTextWidth = 10275 / 15.0 - 20;

} // namespace

TEST(HelpFile, IsRtfAndShowsNoSyntaxAsText) {
    const QByteArray bytes = helpFile();
    ReadResult r(bytes);
    ASSERT_TRUE(r.ok());
    const QString text = r.text();
    EXPECT_GT(text.size(), 2000);
    for (QChar c : {QChar('\\'), QChar('{'), QChar('}'), QChar('?'), QChar(0xFFFD)})
        EXPECT_FALSE(text.contains(c)) << "stray " << QString(c).toStdString();
    // The file is 7-bit: it reads the same whatever code page a reader assumes.
    for (char c : bytes)
        EXPECT_GE(static_cast<signed char>(c), 0);
}

TEST(HelpFile, HeadingsStandOutFromTheBody) {
    ReadResult r(helpFile());
    const QTextCharFormat body = r.charFormat("Keynook keeps your passwords");
    for (const char* heading :
         {"Keynook Help", "Starting Keynook", "The main window", "Menus", "Sorting the list",
          "Saving", "This help window", "Where your entries are kept",
          "What Keynook protects, and what it does not"}) {
        const QTextCharFormat f = r.charFormat(QString::fromUtf8(heading));
        EXPECT_EQ(f.fontWeight(), QFont::Bold) << heading;
        EXPECT_GT(f.fontPointSize(), body.fontPointSize()) << heading;
        EXPECT_TRUE(r.paragraphs().contains(QString::fromUtf8(heading))) << heading;
    }
}

TEST(HelpFile, DescribesEveryCommandAndMenu) {
    ReadResult r(helpFile());
    for (const char* words : {"Add",
                              "Delete",
                              "Edit",
                              "Go To",
                              "Copy Username",
                              "Copy Password",
                              "Copy Used At",
                              "http://",
                              "file manager",
                              "Exit",
                              "Add Username/Password",
                              "Delete Selected Item",
                              "Edit Selected Item",
                              "Selected Used At Location",
                              "View Help",
                              "About this software",
                              "Click a column header",
                              "Show at Startup",
                              "There is no Save command",
                              "status line shows the password itself"})
        EXPECT_TRUE(r.contains(QString::fromUtf8(words))) << words;
    // The buttons are a table of their own.
    ASSERT_NE(firstTable(r.document()), nullptr);
    EXPECT_TRUE(r.inTable("Copies the username"));
}

TEST(HelpFile, TellsTheTruthAboutTheMasterPasswordAndTheFile) {
    ReadResult r(helpFile());
    for (const char* words :
         {"at least 4 characters", "cannot be reset", "three tries", "data.enc",
          "~/.local/share/Keynook/data.enc", "It is not encryption",
          "guards the program, not the file", "only your own user account can read it",
          "Back it up", "Quietlatch Labs"})
        EXPECT_TRUE(r.contains(QString::fromUtf8(words))) << words;
    EXPECT_FALSE(r.contains("encrypted with"));
    EXPECT_FALSE(r.contains("secure"));
    EXPECT_EQ(r.charFormat("www.keynook.example").anchorHref(), "http://www.keynook.example/");
}

TEST(HelpFile, FitsTheWidthOfTheHelpWindow) {
    ReadResult r(helpFile());
    QTextDocument& d = r.document();
    d.setTextWidth(kHelpTextWidth);
    d.documentLayout();
    EXPECT_LE(d.idealWidth(), kHelpTextWidth);
    QTextTable* table = firstTable(d);
    ASSERT_NE(table, nullptr);
    const QRectF tableRect = d.documentLayout()->frameBoundingRect(table);
    EXPECT_LE(tableRect.right(), kHelpTextWidth);
}

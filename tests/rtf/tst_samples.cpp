#include "RtfTestSupport.h"

#include <QFont>
#include <QTextTable>

#include <gtest/gtest.h>

// The samples in tests/data/rtf, each read as a whole: what a person opening
// the file in a word processor would see must be what the document holds.

namespace {

QColor foregroundOf(const QTextCharFormat& f) {
    return f.foreground().style() == Qt::NoBrush ? QColor() : f.foreground().color();
}

QColor backgroundOf(const QTextCharFormat& f) {
    return f.background().style() == Qt::NoBrush ? QColor() : f.background().color();
}

} // namespace

TEST(LibreOfficeSample, ParagraphsReadInOrderWithNothingFromTheHeader) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    ASSERT_TRUE(r.ok());
    const QStringList p = r.paragraphs();
    ASSERT_GE(p.size(), 19);
    EXPECT_EQ(p[0], "Travel Notes");
    EXPECT_EQ(p[1], "This paragraph has bold words, italic words, underlined words and struck "
                    "words, and bold italic ones.");
    EXPECT_EQ(p[2], "Centred red text");
    EXPECT_EQ(p[3], "Right-aligned line");
    EXPECT_EQ(p[5], "Packing list");
    // Style names, list definitions, page styles and the generator stay out.
    for (const char* hidden : {"Normal", "Heading 1", "Text Body", "Default Page Style", "Sample",
                               "LibreOffice", "OpenSymbol", "Times New Roman"})
        EXPECT_FALSE(r.contains(QString::fromUtf8(hidden))) << hidden;
}

TEST(LibreOfficeSample, HeadingsAreBoldAndLarger) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    const QTextCharFormat h1 = r.charFormat("Travel Notes");
    EXPECT_EQ(h1.fontWeight(), QFont::Bold);
    EXPECT_DOUBLE_EQ(h1.fontPointSize(), 24.0);
    EXPECT_EQ(h1.fontFamilies().toStringList(), QStringList{"DejaVu Serif"});
    const QTextCharFormat h2 = r.charFormat("Packing list");
    EXPECT_EQ(h2.fontWeight(), QFont::Bold);
    EXPECT_DOUBLE_EQ(h2.fontPointSize(), 18.0);
    // \sb240\sa120 around the first heading: 240 and 120 twips.
    EXPECT_DOUBLE_EQ(r.blockFormat("Travel Notes").topMargin(), 16.0);
    EXPECT_DOUBLE_EQ(r.blockFormat("Travel Notes").bottomMargin(), 8.0);
}

TEST(LibreOfficeSample, CharacterRunsKeepTheirOwnFormatting) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    EXPECT_EQ(r.charFormat("bold words").fontWeight(), QFont::Bold);
    EXPECT_TRUE(r.isOneRun("bold words"));
    EXPECT_TRUE(r.charFormat("italic words").fontItalic());
    EXPECT_NE(r.charFormat("italic words").fontWeight(), QFont::Bold);
    EXPECT_TRUE(r.charFormat("underlined words").fontUnderline());
    EXPECT_TRUE(r.charFormat("struck words").fontStrikeOut());
    const QTextCharFormat both = r.charFormat("bold italic");
    EXPECT_EQ(both.fontWeight(), QFont::Bold);
    EXPECT_TRUE(both.fontItalic());
    // The text between the runs is plain again.
    const QTextCharFormat plain = r.charFormat(", and ");
    EXPECT_NE(plain.fontWeight(), QFont::Bold);
    EXPECT_FALSE(plain.fontItalic());
    EXPECT_FALSE(plain.fontUnderline());
    EXPECT_FALSE(plain.fontStrikeOut());
}

TEST(LibreOfficeSample, ColoursAlignmentAndSizes) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    EXPECT_EQ(foregroundOf(r.charFormat("Centred red text")), QColor(0xc0, 0, 0));
    EXPECT_EQ(r.blockFormat("Centred red text").alignment(), Qt::AlignHCenter);
    EXPECT_EQ(r.blockFormat("Right-aligned line").alignment(), Qt::AlignRight);
    EXPECT_EQ(backgroundOf(r.charFormat("highlighted")), QColor(255, 255, 0));
    EXPECT_FALSE(backgroundOf(r.charFormat(" word.")).isValid());
    EXPECT_DOUBLE_EQ(r.charFormat("Large text").fontPointSize(), 20.0);
    EXPECT_DOUBLE_EQ(r.charFormat("small text").fontPointSize(), 8.0);
    EXPECT_DOUBLE_EQ(r.charFormat(" and small").fontPointSize(), 12.0);
}

TEST(LibreOfficeSample, ListsShowTheirBulletsAndNumbersWithAHangingIndent) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    const QStringList p = r.paragraphs();
    EXPECT_TRUE(p.contains(QString::fromUtf8("•\tPassport ")));
    EXPECT_TRUE(p.contains(QString::fromUtf8("•\tCharger ")));
    EXPECT_TRUE(p.contains(QString::fromUtf8("•\tCafé money: 20 € ")));
    EXPECT_TRUE(p.contains(" 1.\tBook the train "));
    EXPECT_TRUE(p.contains(" 2.\tPack the bag "));
    // \li709\fi-283: the text sits 709 twips in, the bullet 283 before it.
    const QTextBlockFormat item = r.blockFormat("Passport");
    EXPECT_NEAR(item.leftMargin(), 709 / 15.0, 1e-9);
    EXPECT_NEAR(item.textIndent(), -283 / 15.0, 1e-9);
    EXPECT_FALSE(item.tabPositions().isEmpty());
}

TEST(LibreOfficeSample, NonAsciiTextFromUnicodeEscapes) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    EXPECT_TRUE(r.contains(QString::fromUtf8("Accents: é ü ß ñ; quotes “double” and ‘single’; "
                                             "dash – and —.")));
    EXPECT_TRUE(r.contains(QString::fromUtf8("CJK: 中文 and 日本語.")));
    // The fallback bytes after each \uN are skipped, never shown.
    EXPECT_FALSE(r.contains("?"));
}

TEST(LibreOfficeSample, TableCellsLandInATable) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    QTextTable* table = firstTable(r.document());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rows(), 2);
    EXPECT_EQ(table->columns(), 2);
    EXPECT_EQ(cellText(table, 0, 0), "City");
    EXPECT_EQ(cellText(table, 0, 1), "Nights");
    EXPECT_EQ(cellText(table, 1, 0), QString::fromUtf8("Zürich"));
    EXPECT_EQ(cellText(table, 1, 1), "2");
    EXPECT_FALSE(r.inTable("Large text"));
    EXPECT_FALSE(r.inTable("CJK"));
}

TEST(LibreOfficeSample, HyperlinkFieldShowsItsTextAsALink) {
    ReadResult r(sample("libreoffice-writer.rtf"));
    EXPECT_FALSE(r.contains("HYPERLINK"));
    const QTextCharFormat link = r.charFormat("the example site");
    EXPECT_TRUE(link.isAnchor());
    EXPECT_EQ(link.anchorHref(), "https://www.example.org/");
    EXPECT_TRUE(link.fontUnderline());
    EXPECT_FALSE(r.charFormat("Visit").isAnchor());
}

TEST(WordPadSample, HeadingBulletsColoursAndSpacing) {
    ReadResult r(sample("wordpad.rtf"));
    ASSERT_TRUE(r.ok());
    const QStringList p = r.paragraphs();
    ASSERT_EQ(p.size(), 11);
    EXPECT_EQ(p[0], "Shopping List");
    EXPECT_EQ(r.blockFormat("Shopping List").alignment(), Qt::AlignHCenter);
    EXPECT_EQ(r.charFormat("Shopping List").fontWeight(), QFont::Bold);
    EXPECT_DOUBLE_EQ(r.charFormat("Shopping List").fontPointSize(), 16.0);
    EXPECT_DOUBLE_EQ(r.charFormat("This line").fontPointSize(), 11.0);
    EXPECT_NE(r.charFormat("This line").fontWeight(), QFont::Bold);
    EXPECT_EQ(r.charFormat("This line").fontFamilies().toStringList(), QStringList{"Calibri"});

    // \pntext in the Symbol font: byte B7 is its bullet.
    EXPECT_EQ(p[3], QString::fromUtf8("•\tBread"));
    EXPECT_EQ(p[4], QString::fromUtf8("•\tCheese for 4€"));
    EXPECT_DOUBLE_EQ(r.blockFormat("Bread").leftMargin(), 48.0);
    EXPECT_DOUBLE_EQ(r.blockFormat("Bread").textIndent(), -24.0);

    EXPECT_EQ(foregroundOf(r.charFormat("Red text")), QColor(255, 0, 0));
    EXPECT_EQ(foregroundOf(r.charFormat("blue on yellow")), QColor(0, 77, 187));
    EXPECT_EQ(backgroundOf(r.charFormat("blue on yellow")), QColor(255, 255, 0));
    EXPECT_FALSE(foregroundOf(r.charFormat(" and blue")).isValid());

    // \sa200 is 200 twips after each paragraph; \sl276\slmult1 is 115 %.
    const QTextBlockFormat body = r.blockFormat("This line");
    EXPECT_NEAR(body.bottomMargin(), 200 / 15.0, 1e-9);
    EXPECT_EQ(body.lineHeightType(), int(QTextBlockFormat::ProportionalHeight));
    EXPECT_DOUBLE_EQ(body.lineHeight(), 115.0);
    EXPECT_EQ(r.blockFormat("Right side").alignment(), Qt::AlignRight);
    EXPECT_EQ(r.blockFormat("Justified").alignment(), Qt::AlignJustify);
}

TEST(WordPadSample, CodePagesOfTheFonts) {
    ReadResult r(sample("wordpad.rtf"));
    EXPECT_TRUE(r.contains(QString::fromUtf8("Price: 5€ – café “fresh”")));
    EXPECT_TRUE(r.contains(QString::fromUtf8("Привет means hello."))); // \fcharset204
    EXPECT_TRUE(r.contains(QString::fromUtf8("中文 is Chinese.")));    // \fcharset134
    EXPECT_TRUE(r.charFormat("Monospace").fontFixedPitch());
    // The NUL byte after the last brace is not part of the document.
    EXPECT_FALSE(r.text().contains(QChar(0)));
}

TEST(WordExportSample, WordStyleRunsListsAndTable) {
    ReadResult r(sample("word-export.rtf"));
    ASSERT_TRUE(r.ok());
    const QStringList p = r.paragraphs();
    EXPECT_EQ(p[0], "Quarterly Report");
    EXPECT_EQ(r.blockFormat("Quarterly Report").alignment(), Qt::AlignHCenter);
    EXPECT_DOUBLE_EQ(r.charFormat("Quarterly Report").fontPointSize(), 16.0);
    EXPECT_EQ(r.charFormat("Quarterly Report").fontWeight(), QFont::Bold);
    EXPECT_EQ(p[1], QString::fromUtf8("Sales grew by 12\u00a0% by the quarter’s end."));
    EXPECT_EQ(r.charFormat("12").fontWeight(), QFont::Bold);
    EXPECT_EQ(p[2], QString::fromUtf8("•\tNorth region"));
    EXPECT_EQ(p[3], QString::fromUtf8("•\tSouth region"));
    // Header, theme, data store, style sheet and document information stay out.
    for (const char* hidden : {"Page header text", "Normal", "heading 1", "Hyperlink", "Word Title",
                               "Someone", "schemas", "504b", "0105"})
        EXPECT_FALSE(r.contains(QString::fromUtf8(hidden))) << hidden;

    QTextTable* table = firstTable(r.document());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rows(), 2);
    EXPECT_EQ(table->columns(), 2);
    EXPECT_GT(table->format().border(), 0.0);
    EXPECT_EQ(cellText(table, 0, 0), "Region");
    EXPECT_EQ(cellText(table, 0, 1), "Sales");
    EXPECT_EQ(cellText(table, 1, 0), "North");
    EXPECT_EQ(cellText(table, 1, 1), QString::fromUtf8("1\u00a0200"));
    EXPECT_EQ(r.charFormat("Region").fontWeight(), QFont::Bold);
    EXPECT_NE(r.charFormat("North").fontWeight(), QFont::Bold);
    EXPECT_FALSE(r.inTable("Read the"));

    const QTextCharFormat link = r.charFormat("full report");
    EXPECT_EQ(link.anchorHref(), "https://www.example.com/report");
    EXPECT_EQ(foregroundOf(link), QColor(5, 99, 193));
    EXPECT_TRUE(r.contains("Read the full report."));
}

TEST(MinimalEditorSample, ParagraphsBreaksTabsAndEscapes) {
    ReadResult r(sample("minimal-editor.rtf"));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(
        r.paragraphs(),
        (QStringList{"Hello, world!",
                     QString("A second paragraph") + QChar::LineSeparator + "with a line break.",
                     "Name:\tValue", "Braces { and } and a backslash \\ stay."}));
    EXPECT_EQ(r.charFormat("world").fontWeight(), QFont::Bold);
    EXPECT_NE(r.charFormat("!").fontWeight(), QFont::Bold);
    EXPECT_EQ(r.charFormat("Hello").fontFamilies().toStringList(), QStringList{"Times New Roman"});
}

TEST(LineEndParagraphsSample, BackslashBeforeALineEndEndsTheParagraph) {
    ReadResult r(sample("line-end-paragraphs.rtf"));
    ASSERT_TRUE(r.ok());
    const QStringList p = r.paragraphs();
    ASSERT_EQ(p.size(), 5);
    EXPECT_EQ(p[0], "Plain text, bold text and italic text.");
    EXPECT_EQ(p[1], "Second paragraph with red words.");
    EXPECT_EQ(p[2], "");
    EXPECT_EQ(p[3], QString::fromUtf8("Centred © 2024"));
    EXPECT_EQ(p[4], QString::fromUtf8("\t•\tItem"));
    // The font table has no groups: each name ends at its ';'.
    EXPECT_EQ(r.charFormat("bold text").fontFamilies().toStringList(),
              QStringList{"Helvetica-Bold"});
    EXPECT_EQ(r.charFormat("bold text").fontWeight(), QFont::Bold);
    EXPECT_TRUE(r.charFormat("italic text").fontItalic());
    EXPECT_EQ(foregroundOf(r.charFormat("red")), QColor(251, 2, 7));
    EXPECT_EQ(r.blockFormat("Centred").alignment(), Qt::AlignHCenter);
}

TEST(DestinationsSample, OnlyTheBodyTextIsShown) {
    ReadResult r(sample("destinations.rtf"));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.paragraphs(), (QStringList{
                                  "Before picture. After picture.",
                                  "Binary picture kept.",
                                  "Raw  text.",
                                  "Object gone.",
                                  "Page 7 of 9.",
                                  "See the docs now.",
                                  "Note.",
                                  "Remark here.",
                                  "Bookmarked words.",
                                  "Unknown and visible group.",
                                  "Hidden text.",
                                  "Index and contents entries.",
                                  "1.\tNumbered item",
                                  "Shape end.",
                                  "Formfield value end.",
                              }));
    // Nothing written in capitals in the sample is body text.
    for (const char* hidden :
         {"STYLE", "TITLE",     "AUTHOR",  "GENERATOR", "LATENT",     "LISTNAME",
          "XMLNS", "PAGESTYLE", "HEADER",  "FOOTER",    "NONSHPPICT", "RESULT",
          "TIP",   "FOOTNOTE",  "ANNOTAT", "UNKNOWN",   "HIDDEN",     "INDEX",
          "TOC",   "SHAPE",     "DRAWING", "FORMTEXT",  "Paint"})
        EXPECT_FALSE(r.contains(QString::fromUtf8(hidden))) << hidden;
    EXPECT_EQ(r.charFormat("the docs").anchorHref(), "https://www.example.net/docs");
}

TEST(UnicodeSample, EscapesWithTheirSkipCounts) {
    ReadResult r(sample("unicode.rtf"));
    ASSERT_TRUE(r.ok());
    const QStringList p = r.paragraphs();
    ASSERT_EQ(p.size(), 11);
    EXPECT_EQ(p[0], QString::fromUtf8("One: é € done"));
    EXPECT_EQ(p[1], QString::fromUtf8("Zero: é€ done"));
    EXPECT_EQ(p[2], QString::fromUtf8("Two: 中文 done"));
    EXPECT_EQ(p[3], QString::fromUtf8("Group: ☃d")); // the skip ends with the group
    EXPECT_EQ(p[4], QString::fromUtf8("Brace: éE"));
    EXPECT_EQ(r.charFormat("E").fontWeight(), QFont::Bold);
    EXPECT_EQ(p[5], QString::fromUtf8("Negative: \u8000 \ufffd end"));
    EXPECT_EQ(p[6], QString::fromUtf8("Pair: 😊 end"));
    EXPECT_EQ(p[7], QString::fromUtf8("Lone: \ufffd end"));
    EXPECT_EQ(p[8], QString::fromUtf8("Above: 黑 end"));
    EXPECT_EQ(p[9], QString::fromUtf8("Symbol: • • αβγ ✓"));
    EXPECT_EQ(p[10], QString::fromUtf8("Named: —–•‘x’ “y” a\u00a0b c\u00add e\u2011f"));
}

TEST(CodePagesSample, BytesDecodeInTheFontsCodePage) {
    ReadResult r(sample("codepages.rtf"));
    ASSERT_TRUE(r.ok());
    const QStringList p = r.paragraphs();
    ASSERT_EQ(p.size(), 9);
    EXPECT_EQ(p[0], QString::fromUtf8("Win1252: €‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ end"));
    EXPECT_EQ(p[1], QString::fromUtf8("Latin1: \u00a0©Äéÿ end"));
    EXPECT_EQ(p[2], QString::fromUtf8("Undefined: \ufffd\ufffd\ufffd\ufffd\ufffd end"));
    EXPECT_EQ(p[3], QString::fromUtf8("Raw: café € end"));
    EXPECT_EQ(p[4], QString::fromUtf8("Cyrillic: Привет"));
    EXPECT_EQ(p[5], QString::fromUtf8("Greek: αβγ"));
    EXPECT_EQ(p[6], QString::fromUtf8("Japanese: あい"));
    EXPECT_EQ(p[7], QString::fromUtf8("Czech: čš"));
    EXPECT_EQ(p[8], QString::fromUtf8("Case: éé"));
}

#include "RtfTestSupport.h"

#include "rtf/RtfReader.h"

#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QTextLayout>
#include <QTextTable>

#include <gtest/gtest.h>

// Paragraphs and tables: how RTF's paragraph properties, measured in twips
// (15 to a pixel of a 96 dpi screen), become the document's block formats.

namespace {

ReadResult rtfOf(const char* text) {
    return ReadResult(QByteArray(text));
}

} // namespace

TEST(RtfParagraphs, IndentsAndSpacingInPixels) {
    ReadResult r = rtfOf(R"({\rtf1\pard\li1440\ri720\fi-360\sb120\sa240 text\par})");
    const QTextBlockFormat f = r.blockFormat("text");
    EXPECT_DOUBLE_EQ(f.leftMargin(), 96.0);
    EXPECT_DOUBLE_EQ(f.rightMargin(), 48.0);
    EXPECT_DOUBLE_EQ(f.textIndent(), -24.0);
    EXPECT_DOUBLE_EQ(f.topMargin(), 8.0);
    EXPECT_DOUBLE_EQ(f.bottomMargin(), 16.0);
}

TEST(RtfParagraphs, Alignments) {
    ReadResult r = rtfOf(R"({\rtf1\pard\ql left\par\pard\qr right\par\pard\qc centre\par)"
                         R"(\pard\qj justified\par\pard\qd distributed\par\pard plain\par})");
    EXPECT_EQ(r.blockFormat("left").alignment(), Qt::AlignLeft);
    EXPECT_EQ(r.blockFormat("right").alignment(), Qt::AlignRight);
    EXPECT_EQ(r.blockFormat("centre").alignment(), Qt::AlignHCenter);
    EXPECT_EQ(r.blockFormat("justified").alignment(), Qt::AlignJustify);
    EXPECT_EQ(r.blockFormat("distributed").alignment(), Qt::AlignJustify);
    EXPECT_EQ(r.blockFormat("plain").alignment(), Qt::AlignLeft);
}

TEST(RtfParagraphs, PropertiesCarryOverUntilPard) {
    ReadResult r =
        rtfOf(R"({\rtf1\pard\qc\li720 one\par two\par\pard three\par\li360\qr four\par})");
    EXPECT_EQ(r.paragraphs(), (QStringList{"one", "two", "three", "four"}));
    EXPECT_EQ(r.blockFormat("two").alignment(), Qt::AlignHCenter);
    EXPECT_DOUBLE_EQ(r.blockFormat("two").leftMargin(), 48.0);
    EXPECT_EQ(r.blockFormat("three").alignment(), Qt::AlignLeft);
    EXPECT_DOUBLE_EQ(r.blockFormat("three").leftMargin(), 0.0);
    EXPECT_EQ(r.blockFormat("four").alignment(), Qt::AlignRight);
    EXPECT_DOUBLE_EQ(r.blockFormat("four").leftMargin(), 24.0);
}

TEST(RtfParagraphs, TheParagraphMarkDecidesTheFormat) {
    // Properties in force at \par apply to the whole paragraph, including
    // ones set inside a group that the \par is in.
    ReadResult r = rtfOf(R"({\rtf1 {\qc first\par}second\qr\par})");
    EXPECT_EQ(r.blockFormat("first").alignment(), Qt::AlignHCenter);
    EXPECT_EQ(r.blockFormat("second").alignment(), Qt::AlignRight);
}

TEST(RtfParagraphs, ParEndsAParagraphRatherThanStartingOne) {
    EXPECT_EQ(rtfOf(R"({\rtf1 a\par b\par})").paragraphs(), (QStringList{"a", "b"}));
    EXPECT_EQ(rtfOf(R"({\rtf1 a\par b})").paragraphs(), (QStringList{"a", "b"}));
    EXPECT_EQ(rtfOf(R"({\rtf1 a\par\par b\par\par})").paragraphs(),
              (QStringList{"a", "", "b", ""}));
    EXPECT_EQ(rtfOf(R"({\rtf1 \par})").paragraphs(), (QStringList{""}));
    EXPECT_EQ(rtfOf(R"({\rtf1 a\page b\sect c\column d})").paragraphs(),
              (QStringList{"a", "b", "c", "d"}));
}

TEST(RtfParagraphs, TheLastParagraphKeepsItsFormatWithoutAParagraphMark) {
    ReadResult r = rtfOf(R"({\rtf1\qc\li720 last})");
    EXPECT_EQ(r.blockFormat("last").alignment(), Qt::AlignHCenter);
    EXPECT_DOUBLE_EQ(r.blockFormat("last").leftMargin(), 48.0);
}

TEST(RtfParagraphs, AnEmptyParagraphIsAsHighAsItsMark) {
    ReadResult r = rtfOf(R"({\rtf1 a\par\fs48\par\fs24 b\par})");
    ASSERT_EQ(r.paragraphs(), (QStringList{"a", "", "b"}));
    const QTextBlock empty = r.document().begin().next();
    EXPECT_DOUBLE_EQ(empty.charFormat().fontPointSize(), 24.0);
}

TEST(RtfParagraphs, LineSpacingKinds) {
    ReadResult r = rtfOf(R"({\rtf1\pard\sl360\slmult1 half\par\pard\sl300\slmult0 least\par)"
                         R"(\pard\sl-300 exact\par\pard single\par})");
    EXPECT_EQ(r.blockFormat("half").lineHeightType(), int(QTextBlockFormat::ProportionalHeight));
    EXPECT_DOUBLE_EQ(r.blockFormat("half").lineHeight(), 150.0);
    EXPECT_EQ(r.blockFormat("least").lineHeightType(), int(QTextBlockFormat::MinimumHeight));
    EXPECT_DOUBLE_EQ(r.blockFormat("least").lineHeight(), 20.0);
    EXPECT_EQ(r.blockFormat("exact").lineHeightType(), int(QTextBlockFormat::FixedHeight));
    EXPECT_DOUBLE_EQ(r.blockFormat("exact").lineHeight(), 20.0);
    EXPECT_EQ(r.blockFormat("single").lineHeightType(), int(QTextBlockFormat::SingleHeight));
}

TEST(RtfParagraphs, TabsAndLineBreaks) {
    ReadResult r = rtfOf(R"({\rtf1 a\tab b\line c\par})");
    EXPECT_EQ(r.paragraphs(), QStringList{QString("a\tb") + QChar::LineSeparator + "c"});
}

TEST(RtfParagraphs, TabStopsCountFromTheStartOfTheFirstLine) {
    // RTF measures tab stops from the margin, Qt from where the line starts.
    ReadResult r = rtfOf(R"({\rtf1\pard\li720\fi-360\tx1440\tqr\tx4320\tqc\tx5040\tqdec\tx5760)"
                         R"( item\par\pard\tx1440 plain\par})");
    const QList<QTextOption::Tab> tabs = r.blockFormat("item").tabPositions();
    ASSERT_EQ(tabs.size(), 5);
    EXPECT_DOUBLE_EQ(tabs[0].position, 24.0); // the hanging indent, 360 twips
    EXPECT_EQ(tabs[0].type, QTextOption::LeftTab);
    EXPECT_DOUBLE_EQ(tabs[1].position, (1440 - 360) / 15.0);
    EXPECT_DOUBLE_EQ(tabs[2].position, (4320 - 360) / 15.0);
    EXPECT_EQ(tabs[2].type, QTextOption::RightTab);
    EXPECT_EQ(tabs[3].type, QTextOption::CenterTab);
    EXPECT_EQ(tabs[4].type, QTextOption::DelimiterTab);
    EXPECT_EQ(tabs[4].delimiter, QChar('.'));
    const QList<QTextOption::Tab> plain = r.blockFormat("plain").tabPositions();
    ASSERT_EQ(plain.size(), 1);
    EXPECT_DOUBLE_EQ(plain[0].position, 96.0);
}

TEST(RtfParagraphs, DefaultTabWidthComesFromDeftab) {
    ReadResult r = rtfOf(R"({\rtf1\deftab1440 a\tab b})");
    EXPECT_DOUBLE_EQ(r.document().defaultTextOption().tabStopDistance(), 96.0);
    ReadResult standard = rtfOf(R"({\rtf1 a\tab b})");
    EXPECT_DOUBLE_EQ(standard.document().defaultTextOption().tabStopDistance(), 48.0);
}

TEST(RtfParagraphs, ABulletsTextLinesUpWithItsWrappedLines) {
    // Laid out for real: after the bullet and its tab, the first line's text
    // starts where the hanging indent puts every further line.
    ReadResult r =
        rtfOf(R"({\rtf1{\fonttbl{\f0\fswiss DejaVu Sans;}{\f1\fcharset2 Symbol;}}\f0\fs20)"
              R"(\pard\li720\fi-360{\pntext\f1\'b7\tab}A list item long enough to wrap onto a )"
              R"(second and even a third line when the page is narrow.\par})");
    QTextDocument& d = r.document();
    d.setTextWidth(260);
    d.documentLayout(); // lays the document out
    ASSERT_GT(d.size().height(), 0);
    const QTextBlock b = d.begin();
    ASSERT_EQ(b.text().left(2), QString::fromUtf8("•\t"));
    const QTextLayout* layout = b.layout();
    ASSERT_GE(layout->lineCount(), 2);
    const QTextLine first = layout->lineAt(0);
    const QTextLine second = layout->lineAt(1);
    EXPECT_LT(first.x(), second.x()); // the bullet hangs out to the left
    EXPECT_NEAR(first.cursorToX(2), second.cursorToX(second.textStart()), 0.5);
}

TEST(RtfParagraphs, RightToLeftParagraphs) {
    ReadResult r = rtfOf(R"({\rtf1\pard\rtlpar rtl\par\ltrpar ltr\par})");
    EXPECT_EQ(r.blockFormat("rtl").layoutDirection(), Qt::RightToLeft);
    EXPECT_NE(r.blockFormat("ltr").layoutDirection(), Qt::RightToLeft);
}

TEST(RtfTables, RowsAndCellsBecomeATable) {
    ReadResult r = rtfOf(
        R"({\rtf1 before\par\trowd\clbrdrt\brdrs\cellx2000\cellx4500\pard\intbl a\cell b\cell\row)"
        R"(\trowd\cellx2000\cellx4500\pard\intbl c\cell d\cell\row\pard after\par})");
    QTextTable* table = firstTable(r.document());
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rows(), 2);
    ASSERT_EQ(table->columns(), 2);
    EXPECT_EQ(cellText(table, 0, 0), "a");
    EXPECT_EQ(cellText(table, 0, 1), "b");
    EXPECT_EQ(cellText(table, 1, 0), "c");
    EXPECT_EQ(cellText(table, 1, 1), "d");
    EXPECT_FALSE(r.inTable("before"));
    EXPECT_FALSE(r.inTable("after"));
    // The first row's \cellx give the column widths.
    const QList<QTextLength> widths = table->format().columnWidthConstraints();
    ASSERT_EQ(widths.size(), 2);
    EXPECT_EQ(widths[0].type(), QTextLength::FixedLength);
    EXPECT_NEAR(widths[0].rawValue(), 2000 / 15.0, 1e-9);
    EXPECT_NEAR(widths[1].rawValue(), 2500 / 15.0, 1e-9);
    EXPECT_GT(table->format().border(), 0.0);
    EXPECT_EQ(r.paragraphs().first(), "before");
    EXPECT_EQ(r.paragraphs().last(), "after");
}

TEST(RtfTables, ATableWithoutBordersHasNone) {
    ReadResult r = rtfOf(R"({\rtf1\trowd\cellx1000\intbl x\cell\row\pard y\par})");
    QTextTable* table = firstTable(r.document());
    ASSERT_NE(table, nullptr);
    EXPECT_DOUBLE_EQ(table->format().border(), 0.0);
}

TEST(RtfTables, CellParagraphsEmptyCellsAndExtraCells) {
    ReadResult r = rtfOf(R"({\rtf1\trowd\cellx1000\cellx2000\intbl one\par two\cell\cell\row)"
                         R"(\intbl x\cell y\cell z\cell\row\pard end})");
    QTextTable* table = firstTable(r.document());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rows(), 2);
    EXPECT_EQ(table->columns(), 3); // the second row has a third cell
    EXPECT_EQ(cellText(table, 0, 0), QString("one") + QChar::ParagraphSeparator + "two");
    EXPECT_EQ(cellText(table, 0, 1), "");
    EXPECT_EQ(cellText(table, 1, 2), "z");
    EXPECT_FALSE(r.inTable("end"));
}

TEST(RtfTables, ARowDefinitionStartsTableTextWithoutIntbl) {
    ReadResult r = rtfOf(R"({\rtf1\trowd\cellx1000\cellx2000 a\cell b\cell\row\pard after})");
    QTextTable* table = firstTable(r.document());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(cellText(table, 0, 1), "b");
    EXPECT_FALSE(r.inTable("after"));
}

TEST(RtfTables, NestedCellsReadAsTabsInTheOuterCell) {
    ReadResult r = rtfOf(R"({\rtf1\trowd\cellx3000\intbl\itap2 in1\nestcell in2\nestcell)"
                         R"({\*\nesttableprops\trowd\cellx1000\cellx2000\nestrow}{\nonesttables x})"
                         R"(\itap1 outer\cell\row\pard})");
    QTextTable* table = firstTable(r.document());
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(cellText(table, 0, 0).startsWith("in1\tin2\t"));
    EXPECT_TRUE(cellText(table, 0, 0).endsWith("outer"));
}

TEST(RtfTables, BeyondTheCellLimitTablesReadAsTabbedText) {
    rtf::Limits limits;
    limits.maxTableCells = 4;
    QTextDocument d;
    ASSERT_TRUE(rtf::read(QByteArray(R"({\rtf1\trowd\cellx1000\cellx2000)"
                                     R"(\intbl a\cell b\cell\row\intbl c\cell d\cell\row)"
                                     R"(\intbl e\cell f\cell\row\pard after\par})"),
                          d, limits));
    QTextTable* table = firstTable(d);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rows(), 2);
    EXPECT_TRUE(paragraphText(d).contains("e\tf\t"));
    EXPECT_TRUE(paragraphText(d).endsWith("after"));
}

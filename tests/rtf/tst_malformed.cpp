#include "RtfTestSupport.h"

#include "rtf/RtfReader.h"

#include <QElapsedTimer>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextTable>

#include <gtest/gtest.h>

// Broken, truncated and hostile input: the reader returns, keeps what it
// could read, and never makes more of the input than the input holds.

namespace {

// The output bound the reader promises: no more characters than input bytes,
// plus two per table cell, plus a few.
bool withinBound(const QByteArray& input, const QTextDocument& d) {
    const rtf::Limits limits;
    return d.characterCount() <= input.size() + 2 * limits.maxTableCells + 16;
}

QString textOf(const QByteArray& input) {
    QTextDocument d;
    EXPECT_TRUE(rtf::read(input, d));
    EXPECT_TRUE(withinBound(input, d));
    return paragraphText(d);
}

} // namespace

TEST(RtfMalformed, MissingClosingBracesKeepTheText) {
    ReadResult r(QByteArray(R"({\rtf1 plain {\b bold {\i both)"));
    EXPECT_EQ(r.text(), "plain bold both");
    EXPECT_EQ(r.charFormat("bold").fontWeight(), QFont::Bold);
    EXPECT_TRUE(r.charFormat("both").fontItalic());
}

TEST(RtfMalformed, ExtraClosingBracesEndTheDocument) {
    EXPECT_EQ(textOf(R"({\rtf1 a{\b b}}}}c})"), "ab");
}

TEST(RtfMalformed, TruncatedAnywhere) {
    EXPECT_EQ(textOf(R"({\rtf1 abc\pa)"), "abc");
    EXPECT_EQ(textOf(R"({\rtf1 abc\)"), "abc");
    EXPECT_EQ(textOf(R"({\rtf1 abc\'e)"), "abc");
    EXPECT_EQ(textOf(R"({\rtf1 abc\')"), "abc");
    EXPECT_EQ(textOf(R"({\rtf1 abc\u)"), "abc");
    EXPECT_EQ(textOf(R"({\rtf1 abc\u233)"), QString::fromUtf8("abcé"));
    EXPECT_EQ(textOf(R"({\rtf1 abc\u-)"), "abc-"); // no digits: the '-' is text
    EXPECT_EQ(textOf(R"({\rtf1 abc\bin)"), "abc");
    EXPECT_EQ(textOf(R"({\rtf1 abc{\*)"), "abc");
    EXPECT_EQ(textOf(R"({\rtf1{\fonttbl{\f0 Ari)"), "");
    EXPECT_EQ(textOf(R"({\rtf1{\colortbl;\red255)"), "");
    EXPECT_EQ(textOf(R"({\rtf1 x{\field{\*\fldinst HYPERLINK "ht)"), "x");
    EXPECT_EQ(textOf(R"({\rtf1 x{\field{\*\fldinst HYPERLINK "a"}{\fldrslt li)"), "xli");
    // A table is followed by a paragraph of its own, here an empty one.
    EXPECT_EQ(textOf(R"({\rtf1 x\trowd\cellx100\intbl a\cell b)"), "x\na\nb\n");
    EXPECT_EQ(textOf(R"({\rtf1\ansicpg932 x\'82)"), "x"); // half a character
    EXPECT_EQ(textOf(R"({\rtf)"), "");
}

TEST(RtfMalformed, HugeParametersAreClamped) {
    ReadResult r(QByteArray(R"({\rtf1\pard\li99999999999999999999\fi-9999999999)"
                            R"(\sb99999999999\sl-99999999999 text\par})"));
    const QTextBlockFormat f = r.blockFormat("text");
    EXPECT_DOUBLE_EQ(f.leftMargin(), 31680 / 15.0); // 22 inches
    EXPECT_DOUBLE_EQ(f.textIndent(), -31680 / 15.0);
    EXPECT_DOUBLE_EQ(f.topMargin(), 31680 / 15.0);
    EXPECT_DOUBLE_EQ(f.lineHeight(), 31680 / 15.0);
    // A skip count that would swallow the rest of the text stops at 16.
    EXPECT_EQ(textOf(R"({\rtf1\uc99999\u233 abcdefghijklmnopqrstuvwxyz})"),
              QString::fromUtf8("éqrstuvwxyz"));
    EXPECT_EQ(textOf(R"({\rtf1{\colortbl;\red99999999999;}\cf99999999999 x\f-99999999999 y})"),
              "xy");
}

TEST(RtfMalformed, BinaryCountsBeyondTheEndOrNegative) {
    EXPECT_EQ(textOf(R"({\rtf1 a\bin999999999999 xyz})"), "a");
    EXPECT_EQ(textOf(R"({\rtf1 a\bin-5 b})"), "ab");
    EXPECT_EQ(textOf(R"({\rtf1 a{\pict\bin99999999 }}b})"), "a");
}

TEST(RtfMalformed, DeepNestingIsReadFlatBeyondTheLimit) {
    const int depth = 200000;
    QByteArray deep = "{\\rtf1 a";
    deep += QByteArray(depth, '{') + "\\b b" + QByteArray(depth, '}');
    deep += "c}";
    ReadResult r(deep);
    EXPECT_EQ(r.text(), "abc");
    EXPECT_EQ(r.charFormat("b").fontWeight(), QFont::Bold);
    EXPECT_NE(r.charFormat("c").fontWeight(), QFont::Bold);

    // With a small limit, groups past it share the deepest group's state, and
    // leaving that group still restores what was outside it.
    rtf::Limits limits;
    limits.maxDepth = 4;
    QTextDocument d;
    ASSERT_TRUE(rtf::read(QByteArray(R"({\rtf1 {{{{{{\b x}\i y}}}}} z})"), d, limits));
    EXPECT_EQ(paragraphText(d), "xy z");
    QTextCursor c(&d);
    c.setPosition(2); // after "y": bold from the shared state, italic too
    EXPECT_EQ(c.charFormat().fontWeight(), QFont::Bold);
    EXPECT_TRUE(c.charFormat().fontItalic());
    c.setPosition(4);
    EXPECT_NE(c.charFormat().fontWeight(), QFont::Bold);
    EXPECT_FALSE(c.charFormat().fontItalic());
}

TEST(RtfMalformed, DeepNestingInsideSkippedGroups) {
    const int depth = 500000;
    QByteArray deep = "{\\rtf1 a{\\*\\x";
    deep += QByteArray(depth, '{') + "hidden" + QByteArray(depth, '}');
    deep += "}b}";
    EXPECT_EQ(textOf(deep), "ab");
}

TEST(RtfMalformed, ControlWordsOfAbsurdLength) {
    QByteArray longWord = "{\\rtf1 \\" + QByteArray(1'000'000, 'x') + " text}";
    EXPECT_EQ(textOf(longWord), "text");
    QByteArray longNumber = "{\\rtf1 \\fs" + QByteArray(1'000'000, '9') + " text}";
    ReadResult r(longNumber);
    EXPECT_EQ(r.text(), "text");
    EXPECT_DOUBLE_EQ(r.charFormat("text").fontPointSize(), 1638.0);
}

TEST(RtfMalformed, BracesAndEscapesInTheWrongPlaces) {
    EXPECT_EQ(textOf(R"({\rtf1 }{\b x})"), "");
    EXPECT_EQ(textOf(R"({\rtf1 {}{}{{}}a\}\{b})"), "a}{b");
    EXPECT_EQ(textOf(R"({\rtf1 \'zz\'1 x})"), "zz x");
    EXPECT_EQ(textOf(R"({\rtf1 a{\*\*\foo b}c})"), "ac");
    EXPECT_EQ(textOf(R"({\rtf1 a{\* b}c})"), "a bc"); // \* before no word marks nothing
    EXPECT_EQ(textOf(R"({\rtf1 \fldrslt a{\fldinst b}\fonttbl c})"), "a");
    EXPECT_EQ(textOf(R"({\rtf1 \cell\row\cell a\row b})"), "\t\tab");
}

TEST(RtfMalformed, ControlBytesAndNulsAreNotText) {
    QByteArray bytes("{\\rtf1 a\x01\x02\x00\x1f\x7f"
                     "b}",
                     15);
    EXPECT_EQ(textOf(bytes), "ab");
}

TEST(RtfMalformed, TablesOfHostileSizeStayBounded) {
    // Thousands of rows of 64 columns from a few bytes each: the cell limit
    // turns the rest into text instead of growing the table without end.
    QByteArray rtf = "{\\rtf1\\trowd";
    for (int i = 1; i <= 300; ++i)
        rtf += "\\cellx" + QByteArray::number(i * 10);
    for (int i = 0; i < 20000; ++i)
        rtf += "\\intbl x\\row";
    rtf += "}";
    QElapsedTimer timer;
    timer.start();
    QTextDocument d;
    ASSERT_TRUE(rtf::read(rtf, d));
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_TRUE(withinBound(rtf, d));
    QTextTable* table = firstTable(d);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->columns(), 64);
    EXPECT_LE(table->rows() * table->columns(), rtf::Limits().maxTableCells);
    EXPECT_EQ(paragraphText(d).count('x'), 20000);
}

TEST(RtfMalformed, AFewMegabytesReadInReasonableTime) {
    // About 4 MB of mixed formatting: a reader that slows down with size
    // (quadratic work per paragraph or per run) takes minutes here.
    QByteArray rtf = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red255\\green0\\blue0;}\n";
    const QByteArray paragraph =
        "\\pard\\li720\\fi-360\\sa120 Some {\\b bold} and {\\i italic} text, caf\\'e9 "
        "\\u8364? {\\cf1 red} {\\*\\bkmkstart x}words{\\*\\bkmkend x} and more words\\par\n";
    int paragraphs = 0;
    for (; rtf.size() < 4 * 1024 * 1024; ++paragraphs)
        rtf += paragraph;
    rtf += "}";
    QElapsedTimer timer;
    timer.start();
    QTextDocument d;
    ASSERT_TRUE(rtf::read(rtf, d));
    const qint64 ms = timer.elapsed();
    EXPECT_LT(ms, 30000) << "took " << ms << " ms";
    EXPECT_EQ(d.blockCount(), paragraphs);
    EXPECT_TRUE(withinBound(rtf, d));
}

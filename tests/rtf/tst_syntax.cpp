#include "RtfTestSupport.h"

#include "rtf/RtfReader.h"

#include <QTextDocument>

#include <gtest/gtest.h>

// The rules of the RTF syntax, one at a time, on small inline documents.

namespace {

ReadResult rtfOf(const char* text) {
    return ReadResult(QByteArray(text));
}

} // namespace

TEST(RtfSyntax, BytesThatAreNotRtfGiveFalseAndAnEmptyDocument) {
    for (const char* notRtf : {"", "hello", "{\\rt", " {\\rtf1 x}", "\xef\xbb\xbf{\\rtf1 x}",
                               "{\\RTF1 x}", "<html>{\\rtf1 x}</html>"}) {
        QTextDocument document;
        document.setPlainText("old text");
        EXPECT_FALSE(rtf::read(QByteArray(notRtf), document)) << notRtf;
        EXPECT_TRUE(document.isEmpty()) << notRtf;
    }
}

TEST(RtfSyntax, ReadReplacesWhatTheDocumentHeld) {
    QTextDocument document;
    document.setPlainText("old text\nsecond line");
    ASSERT_TRUE(rtf::read(QByteArray(R"({\rtf1 new})"), document));
    EXPECT_EQ(document.toPlainText(), "new");
    EXPECT_EQ(document.blockCount(), 1);
    // The read itself is no edit to undo.
    EXPECT_FALSE(document.isUndoAvailable());
}

TEST(RtfSyntax, AnEmptyDocumentIsRtf) {
    ReadResult r = rtfOf(R"({\rtf1})");
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.document().isEmpty());
}

TEST(RtfSyntax, GroupsSaveAndRestoreFormatting) {
    ReadResult r = rtfOf(R"({\rtf1 a{\b b{\i c}d}e})");
    EXPECT_EQ(r.text(), "abcde");
    EXPECT_NE(r.charFormat("a").fontWeight(), QFont::Bold);
    EXPECT_EQ(r.charFormat("b").fontWeight(), QFont::Bold);
    EXPECT_FALSE(r.charFormat("b").fontItalic());
    EXPECT_EQ(r.charFormat("c").fontWeight(), QFont::Bold);
    EXPECT_TRUE(r.charFormat("c").fontItalic());
    EXPECT_EQ(r.charFormat("d").fontWeight(), QFont::Bold);
    EXPECT_FALSE(r.charFormat("d").fontItalic());
    EXPECT_NE(r.charFormat("e").fontWeight(), QFont::Bold);
}

TEST(RtfSyntax, ToggleWordsTakeZeroForOff) {
    ReadResult r = rtfOf(
        R"({\rtf1 \b\i\ul\strike ON \b0\i0\ul0\strike0 OFF \ul under\ulnone none \b1 bee\b0 ex})");
    const QTextCharFormat on = r.charFormat("ON");
    EXPECT_EQ(on.fontWeight(), QFont::Bold);
    EXPECT_TRUE(on.fontItalic());
    EXPECT_TRUE(on.fontUnderline());
    EXPECT_TRUE(on.fontStrikeOut());
    const QTextCharFormat off = r.charFormat("OFF");
    EXPECT_NE(off.fontWeight(), QFont::Bold);
    EXPECT_FALSE(off.fontItalic());
    EXPECT_FALSE(off.fontUnderline());
    EXPECT_FALSE(off.fontStrikeOut());
    EXPECT_TRUE(r.charFormat("under").fontUnderline());
    EXPECT_FALSE(r.charFormat("none").fontUnderline());
    EXPECT_EQ(r.charFormat("bee").fontWeight(), QFont::Bold);
    EXPECT_NE(r.charFormat("ex").fontWeight(), QFont::Bold);
}

TEST(RtfSyntax, UnderlineKinds) {
    ReadResult r = rtfOf(R"({\rtf1 {\uld dot}{\uldash dash}{\ulwave wave}{\uldb double}})");
    EXPECT_EQ(r.charFormat("dot").underlineStyle(), QTextCharFormat::DotLine);
    EXPECT_EQ(r.charFormat("dash").underlineStyle(), QTextCharFormat::DashUnderline);
    EXPECT_EQ(r.charFormat("wave").underlineStyle(), QTextCharFormat::WaveUnderline);
    EXPECT_EQ(r.charFormat("double").underlineStyle(), QTextCharFormat::SingleUnderline);
}

TEST(RtfSyntax, PlainResetsCharacterFormattingButNotTheParagraph) {
    ReadResult r = rtfOf(R"({\rtf1{\colortbl;\red0\green0\blue255;})"
                         R"(\qc\b\i\ul\fs40\cf1 styled \plain plain\par})");
    EXPECT_EQ(r.charFormat("styled").fontWeight(), QFont::Bold);
    EXPECT_DOUBLE_EQ(r.charFormat("styled").fontPointSize(), 20.0);
    const QTextCharFormat plain = r.charFormat("plain");
    EXPECT_NE(plain.fontWeight(), QFont::Bold);
    EXPECT_FALSE(plain.fontItalic());
    EXPECT_FALSE(plain.fontUnderline());
    EXPECT_DOUBLE_EQ(plain.fontPointSize(), 12.0);
    EXPECT_EQ(plain.foreground().style(), Qt::NoBrush);
    EXPECT_EQ(r.blockFormat("plain").alignment(), Qt::AlignHCenter);
}

TEST(RtfSyntax, FontSizeIsInHalfPointsAndClamped) {
    ReadResult r =
        rtfOf(R"({\rtf1 {\fs20 ten}{\fs7 three}{\fs0 zero}{\fs99999999999999 huge}{\fs-40 neg}x})");
    EXPECT_DOUBLE_EQ(r.charFormat("ten").fontPointSize(), 10.0);
    EXPECT_DOUBLE_EQ(r.charFormat("three").fontPointSize(), 3.5);
    EXPECT_DOUBLE_EQ(r.charFormat("zero").fontPointSize(), 12.0);
    EXPECT_DOUBLE_EQ(r.charFormat("huge").fontPointSize(), 1638.0);
    EXPECT_DOUBLE_EQ(r.charFormat("neg").fontPointSize(), 12.0);
    EXPECT_DOUBLE_EQ(r.charFormat("x").fontPointSize(), 12.0);
}

TEST(RtfSyntax, FontTableNamesFamiliesAndTheDefaultFont) {
    ReadResult r = rtfOf(R"({\rtf1\deff1{\fonttbl{\f0\froman Times New Roman;})"
                         R"({\f1\fswiss\fcharset0  Arial  ;}{\f2\fmodern\fprq1 Courier New;}})"
                         R"(default {\f0 serif} {\f2 mono} {\f9 unknown}})");
    EXPECT_EQ(r.charFormat("default").fontFamilies().toStringList(), QStringList{"Arial"});
    EXPECT_EQ(r.charFormat("default").fontStyleHint(), QFont::SansSerif);
    EXPECT_EQ(r.charFormat("serif").fontFamilies().toStringList(), QStringList{"Times New Roman"});
    EXPECT_EQ(r.charFormat("serif").fontStyleHint(), QFont::Serif);
    EXPECT_TRUE(r.charFormat("mono").fontFixedPitch());
    EXPECT_FALSE(r.charFormat("unknown").hasProperty(QTextFormat::FontFamilies));
    EXPECT_EQ(r.text(), "default serif mono unknown");
}

TEST(RtfSyntax, ColourTableIndexesWithZeroAsAutomatic) {
    ReadResult r =
        rtfOf(R"({\rtf1{\colortbl;\red255\green0\blue0;;\red0\green128\blue0;\red999\green-5;})"
              R"({\cf1 red}{\cf0 auto}{\cf2 empty}{\cf3 green}{\cf4 clamped}{\cf77 missing})"
              R"({\cb3 back}{\highlight1 marked}{\chcbpat3 shaded}})");
    EXPECT_EQ(r.charFormat("red").foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(r.charFormat("auto").foreground().style(), Qt::NoBrush);
    EXPECT_EQ(r.charFormat("empty").foreground().style(), Qt::NoBrush);
    EXPECT_EQ(r.charFormat("green").foreground().color(), QColor(0, 128, 0));
    EXPECT_EQ(r.charFormat("clamped").foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(r.charFormat("missing").foreground().style(), Qt::NoBrush);
    EXPECT_EQ(r.charFormat("back").background().color(), QColor(0, 128, 0));
    EXPECT_EQ(r.charFormat("marked").background().color(), QColor(255, 0, 0));
    EXPECT_EQ(r.charFormat("shaded").background().color(), QColor(0, 128, 0));
}

TEST(RtfSyntax, SuperscriptSubscriptCapsAndHiddenText) {
    ReadResult r = rtfOf(R"({\rtf1 E=mc{\super 2} H{\sub 2}O {\up6 up}{\dn6 dn}{\caps caps})"
                         R"({\scaps small}{\v hidden}{\v1 more}{\v0 shown}})");
    EXPECT_EQ(r.text(), "E=mc2 H2O updncapssmallshown");
    EXPECT_EQ(r.charFormat("2").verticalAlignment(), QTextCharFormat::AlignSuperScript);
    EXPECT_EQ(r.charFormat("2O").verticalAlignment(), QTextCharFormat::AlignSubScript);
    EXPECT_EQ(r.charFormat("up").verticalAlignment(), QTextCharFormat::AlignSuperScript);
    EXPECT_EQ(r.charFormat("dn").verticalAlignment(), QTextCharFormat::AlignSubScript);
    EXPECT_EQ(r.charFormat("O").verticalAlignment(), QTextCharFormat::AlignNormal);
    EXPECT_EQ(r.charFormat("caps").fontCapitalization(), QFont::AllUppercase);
    EXPECT_EQ(r.charFormat("small").fontCapitalization(), QFont::SmallCaps);
}

TEST(RtfSyntax, EscapedCharactersAndControlSymbols) {
    ReadResult r = rtfOf(R"({\rtf1 \\ \{ \} a\~b c\-d e\_f \:\|g\*})");
    EXPECT_EQ(r.text(), QString::fromUtf8("\\ { } a\u00a0b c\u00add e\u2011f g"));
}

TEST(RtfSyntax, NamedCharacters) {
    ReadResult r =
        rtfOf(R"({\rtf1 \emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote|\emspace|)"
              R"(\enspace|\qmspace|\zwj\zwnj})");
    EXPECT_EQ(r.text(), QString::fromUtf8("—–•‘’“”|\u2003|\u2002|\u2005|\u200d\u200c"));
}

TEST(RtfSyntax, ControlWordDelimiters) {
    // One space ends a word and is dropped; any other non-letter ends it and
    // stays; a digit run is the parameter; '-' before digits is its sign.
    ReadResult r = rtfOf(R"({\rtf1 \b  one\b0;two\par\li-720 x-3\fs30y\ulnone-z})");
    EXPECT_EQ(r.paragraphs(), (QStringList{" one;two", "x-3y-z"}));
    EXPECT_EQ(r.charFormat(" one").fontWeight(), QFont::Bold);
    EXPECT_DOUBLE_EQ(r.blockFormat("x-3").leftMargin(), -48.0);
    EXPECT_DOUBLE_EQ(r.charFormat("y").fontPointSize(), 15.0);
}

TEST(RtfSyntax, UnknownWordsAreIgnoredAndTheirGroupsShown) {
    ReadResult r = rtfOf(R"({\rtf1 a\madeupword b\madeup123 c{\neverheardof d}e\'})");
    EXPECT_EQ(r.text(), "abcde");
}

TEST(RtfSyntax, LineEndsInTheSourceAreNotText) {
    ReadResult r = rtfOf("{\\rtf1 one\r\ntwo\nthree\rfour\tfive}");
    EXPECT_EQ(r.text(), "onetwothreefour\tfive");
}

TEST(RtfSyntax, TextAfterTheDocumentGroupIsIgnored) {
    ReadResult r = rtfOf(R"({\rtf1 inside}outside{\b more})");
    EXPECT_EQ(r.text(), "inside");
}

TEST(RtfSyntax, HexEscapesInTheDocumentCodePage) {
    EXPECT_EQ(rtfOf(R"({\rtf1\ansi caf\'e9 \'80\'E9})").text(), QString::fromUtf8("café €é"));
    EXPECT_EQ(rtfOf(R"({\rtf1\ansi\ansicpg1251 \'cf\'f0\'e8\'e2\'e5\'f2})").text(),
              QString::fromUtf8("Привет"));
    EXPECT_EQ(rtfOf(R"({\rtf1\mac \'8e\'a5})").text(), QString::fromUtf8("é•"));
    EXPECT_EQ(rtfOf(R"({\rtf1\ansi\ansicpg65001 \'c3\'a9\'e2\'82\'ac})").text(),
              QString::fromUtf8("é€"));
    // A code page nobody knows reads as Windows-1252 rather than not at all.
    EXPECT_EQ(rtfOf(R"({\rtf1\ansi\ansicpg99999 \'e9})").text(), QString::fromUtf8("é"));
    // A font's character set wins over the document's code page.
    EXPECT_EQ(rtfOf(R"({\rtf1\ansi\ansicpg1251{\fonttbl{\f0\fcharset0 Arial;}}\f0 \'e9})").text(),
              QString::fromUtf8("é"));
}

TEST(RtfSyntax, AFontRedefinedLaterDecodesWithItsNewCharacterSet) {
    ReadResult r = rtfOf(R"({\rtf1{\fonttbl{\f0\fcharset0 Latin;}}\f0 \'e9)"
                         R"({\fonttbl{\f0\fcharset204 Cyrillic;}}\'e9})");
    EXPECT_EQ(r.text(), QString::fromUtf8("éй"));
    EXPECT_EQ(r.charFormat(QString::fromUtf8("й")).fontFamilies().toStringList(),
              QStringList{"Cyrillic"});
}

TEST(RtfSyntax, MultiByteCharactersSplitOverEscapes) {
    // Shift-JIS: each character is two bytes, the second often plain ASCII.
    ReadResult r = rtfOf(R"({\rtf1\ansi\ansicpg932 \'82\'a0\'83\'5c\'83]x\'82\'a2})");
    EXPECT_EQ(r.text(), QString::fromUtf8("あソゾxい"));
}

TEST(RtfSyntax, UnicodeSkipCountIsKeptPerGroup) {
    ReadResult r = rtfOf(R"({\rtf1\uc2 {\uc0 \u233 ab}\u233 ab|\u233\'e9\'e9c})");
    EXPECT_EQ(r.text(), QString::fromUtf8("éabé|éc"));
}

TEST(RtfSyntax, UnicodeSkipCountsControlWordsAsOneCharacter) {
    ReadResult r = rtfOf(R"({\rtf1\uc1 a\u233\b b c})");
    EXPECT_EQ(r.text(), QString::fromUtf8("aéb c"));
    EXPECT_NE(r.charFormat("b").fontWeight(), QFont::Bold); // \b was the skipped character
}

TEST(RtfSyntax, UnicodeOutsideTheBasicPlaneAndInvalidValues) {
    ReadResult r = rtfOf(R"({\rtf1\uc0 \u128512 |\u1114112 |\u0 |\u-65536 |\u65535 |\u8233 })");
    EXPECT_EQ(r.text(), QString::fromUtf8("😀||||\ufffd|\ufffd"));
}

TEST(RtfSyntax, CharactersQtWouldTakeForStructureAreReplaced) {
    // Paragraph separator, frame marks and the object mark would otherwise
    // change the document's structure.
    ReadResult r = rtfOf(R"({\rtf1\uc0 a\u8233 b\u-560 c\u-559 d\u-4 e\'00\'0af})");
    EXPECT_EQ(r.paragraphs(), QStringList{QString::fromUtf8("a\ufffdb\ufffdc\ufffdd\ufffdef")});
}

TEST(RtfSyntax, BinaryDataIsSkippedByCount) {
    ReadResult r = rtfOf("{\\rtf1 a\\bin4 {}\\}b{\\*\\x\\bin2 }}}c}");
    EXPECT_EQ(r.text(), "abc");
}

TEST(RtfSyntax, IgnorableDestinationsAreSkippedWhateverTheirName) {
    ReadResult r = rtfOf(R"({\rtf1 a{\*\anything b{c}\} d}e{\*\b f}g})");
    EXPECT_EQ(r.text(), "aeg");
    EXPECT_NE(r.charFormat("g").fontWeight(), QFont::Bold);
}

TEST(RtfSyntax, FieldsShowTheirResultAndLinkHyperlinks) {
    ReadResult r = rtfOf(
        R"({\rtf1 {\field{\*\fldinst HYPERLINK "http://www.keynook.example/" }{\fldrslt site}})"
        R"( {\field{\*\fldinst{HYPERLINK \\l "part2"}}{\fldrslt part}})"
        R"( {\field{\*\fldinst { hyperlink  "a.html" \\o "tip" }}{\fldrslt {\b third}}})"
        R"( {\field{\*\fldinst DATE \\@ "d MMMM yyyy"}{\fldrslt 1 May 2024}} after})");
    EXPECT_EQ(r.text(), "site part third 1 May 2024 after");
    EXPECT_EQ(r.charFormat("site").anchorHref(), "http://www.keynook.example/");
    EXPECT_EQ(r.charFormat("part").anchorHref(), "#part2");
    EXPECT_EQ(r.charFormat("third").anchorHref(), "a.html");
    EXPECT_EQ(r.charFormat("third").fontWeight(), QFont::Bold);
    EXPECT_FALSE(r.charFormat("May").isAnchor());
    EXPECT_FALSE(r.charFormat("after").isAnchor());
}

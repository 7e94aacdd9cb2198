#include "rtf/RtfReader.h"

#include "rtf/RtfCodePages.h"
#include "rtf/RtfKeywords.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QString>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>
#include <QTextTable>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

namespace rtf {
namespace {

using keyword::Kw;

// RTF measures in twips, 1/1440 inch; the document measures in pixels of a
// 96 dpi screen, the unit Qt's own rich text import uses: 15 twips a pixel.
constexpr double kTwipsPerPixel = 15.0;
// 22 inches, the widest page a word processor offers: any indent or tab stop
// beyond it is a broken number.
constexpr int kMaxTwips = 31680;
constexpr int kMaxHalfPoints = 3276; // 1638 points, the largest size word processors allow
constexpr int kMaxTabs = 32;
constexpr int kMaxColumns = 64;
constexpr int kMaxFonts = 4096;
constexpr int kMaxColors = 4096;
constexpr int kMaxLinks = 4096;
constexpr int kMaxNameLength = 256;
constexpr int kMaxInstructionLength = 4096;
// Real files skip at most the few bytes of one character in a multi-byte code
// page; a larger count would only swallow the text that follows.
constexpr int kMaxUnicodeSkip = 16;
// Parameters are read with saturation, so a thousand digits cannot overflow.
constexpr std::int64_t kMaxParameter = 2'000'000'000;
// Rows are added to a table in growing batches, because Qt redoes a table's
// whole layout grid at each addition; the unused ones go when the table ends.
constexpr int kMaxRowBatch = 1024;
constexpr char16_t kReplacement = 0xFFFD;

enum class Dest : std::uint8_t { Text, FontTable, ColorTable, FieldInstruction };
enum class Align : std::uint8_t { Left, Right, Center, Justify };
enum class Vertical : std::uint8_t { Normal, Super, Sub };
enum class Caps : std::uint8_t { None, All, Small };

struct CharProps {
    int font = -1; // -1: the document's default font
    int halfPoints = 24;
    int foreground = 0; // colour table index; 0 is the automatic colour
    int background = 0;
    int link = -1; // index into the hyperlinks of the document
    QTextCharFormat::UnderlineStyle underline = QTextCharFormat::NoUnderline;
    Vertical vertical = Vertical::Normal;
    Caps caps = Caps::None;
    bool bold = false;
    bool italic = false;
    bool strike = false;
    bool hidden = false;

    bool operator==(const CharProps&) const = default;
};

struct TabStop {
    int position = 0; // twips from the left margin
    QTextOption::TabType type = QTextOption::LeftTab;
};

struct ParaProps {
    Align align = Align::Left;
    int left = 0; // twips
    int right = 0;
    int first = 0;
    int before = 0;
    int after = 0;
    int lineSpacing = 0;
    bool lineMultiple = false;
    bool inTable = false;
    bool rightToLeft = false;
    QTextOption::TabType nextTabType = QTextOption::LeftTab;
    int tabCount = 0;
    std::array<TabStop, kMaxTabs> tabs{};
};

struct State {
    CharProps chr;
    ParaProps para;
    Dest dest = Dest::Text;
    int unicodeSkip = 1;
    // Inside \listtext and \pntext: the number or bullet of the paragraph being
    // read, whose writers reset the paragraph there for older readers.
    bool listText = false;
};

struct FontEntry {
    QString name;
    int codePage = codepage::kDefault;
    QFont::StyleHint hint = QFont::AnyStyle;
    bool fixedPitch = false;
};

bool isLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int clampTo(std::int64_t value, int low, int high) {
    return static_cast<int>(std::clamp<std::int64_t>(value, low, high));
}

double pixels(int twips) {
    return twips / kTwipsPerPixel;
}

// The target of a HYPERLINK field: its first argument, with the bookmark of a
// \l switch as the fragment. Anything else gives an empty string.
QString hyperlinkTarget(const QString& instruction) {
    struct Token {
        QString text;
        bool quoted = false;
    };
    std::vector<Token> tokens;
    qsizetype i = 0;
    const qsizetype n = instruction.size();
    while (i < n) {
        while (i < n && instruction[i].isSpace())
            ++i;
        if (i >= n)
            break;
        Token t;
        if (instruction[i] == u'"') {
            t.quoted = true;
            const qsizetype start = ++i;
            while (i < n && instruction[i] != u'"')
                ++i;
            t.text = instruction.mid(start, i - start);
            ++i;
        } else {
            const qsizetype start = i;
            while (i < n && !instruction[i].isSpace())
                ++i;
            t.text = instruction.mid(start, i - start);
        }
        tokens.push_back(std::move(t));
    }
    if (tokens.empty() || tokens[0].quoted ||
        tokens[0].text.compare(u"HYPERLINK", Qt::CaseInsensitive) != 0)
        return {};
    QString target;
    QString bookmark;
    for (std::size_t k = 1; k < tokens.size(); ++k) {
        const Token& t = tokens[k];
        if (!t.quoted && t.text.startsWith(u'\\')) {
            const QString name = t.text.mid(1).toLower();
            // \l names a bookmark; \o (tip), \t (frame) take an argument too.
            if ((name == u"l" || name == u"o" || name == u"t") && k + 1 < tokens.size()) {
                ++k;
                if (name == u"l")
                    bookmark = tokens[k].text;
            }
            continue;
        }
        if (target.isEmpty())
            target = t.text;
    }
    if (!bookmark.isEmpty())
        target += u'#' + bookmark;
    return target;
}

class Reader {
public:
    Reader(QByteArrayView in, QTextDocument& document, const Limits& limits)
        : p_(reinterpret_cast<const unsigned char*>(in.data())), end_(p_ + in.size()),
          document_(document), cursor_(&document), maxDepth_(std::max(1, limits.maxDepth)),
          maxTableCells_(std::max(0, limits.maxTableCells)) {}

    void run();

private:
    struct WordToken {
        std::string_view name; // empty when longer than any control word
        bool hasParam = false;
        std::int64_t param = 0;
    };

    State& top() { return stack_.back(); }

    // Tokens.
    WordToken readWord();
    void controlSymbol();
    void controlWord();
    bool documentWord(Kw kw, const WordToken& w);
    bool destinationWord(Kw kw);
    bool fontWord(Kw kw, const WordToken& w);
    bool colorWord(Kw kw, const WordToken& w);
    bool characterWord(Kw kw, const WordToken& w);
    bool paragraphWord(Kw kw, const WordToken& w);
    bool tableWord(Kw kw, const WordToken& w);
    bool textWord(Kw kw, const WordToken& w, const keyword::Word& word);
    void skipGroup();
    void skipBinary(std::int64_t count);
    void openGroup();
    void closeGroup();

    // Characters.
    void textByte(unsigned char byte);
    void putByte(unsigned char byte);
    void putUnicode(std::int64_t code);
    void putChar(char16_t c);
    void route(char16_t c);
    void textChar(char16_t c);
    void flushBytes();
    void flushRun();
    void endRun();
    int codePage();

    // The document's structure.
    void place();
    bool placeInTable();
    bool startTable();
    bool nextRow();
    void nextCell();
    void leaveTable();
    void disableTables();
    bool fits(int rows, int columns) const;
    void newBlock();
    void finishBlock(const ParaProps& para, const CharProps& chr);
    void paragraph();
    void cell();
    void row();
    void finish();

    // Tables of the document.
    void startFont(int id);
    void commitFont();
    void commitColor();
    const FontEntry* font(int id) const;
    QColor color(int index) const;
    QTextCharFormat charFormat(const CharProps& p) const;
    QTextBlockFormat blockFormat(const ParaProps& p) const;
    QTextTableFormat tableFormat(int columns) const;

    const unsigned char* p_;
    const unsigned char* end_;
    QTextDocument& document_;
    QTextCursor cursor_;
    const int maxDepth_;
    const int maxTableCells_;

    std::vector<State> stack_;
    int overflow_ = 0; // groups opened beyond maxDepth_, read as part of their parent
    bool finished_ = false;
    bool ignorable_ = false; // \* was just read
    int skip_ = 0;           // characters still to skip after \u

    int docCodePage_ = 1252;
    int defaultFont_ = 0;
    int defaultTabTwips_ = 720;
    codepage::Decoders decoders_;
    QByteArray bytes_; // bytes of a multi-byte code page not yet decoded
    int bytesCodePage_ = 1252;
    char16_t pendingHigh_ = 0; // first half of a surrogate pair from \u

    std::map<int, FontEntry> fonts_;
    bool fontDraftActive_ = false;
    std::size_t fontDraftDepth_ = 0;
    int fontDraftId_ = 0;
    int fontDraftCharset_ = -1;
    FontEntry fontDraft_;
    int fontsVersion_ = 0; // counts changes to fonts_, for the code page cache
    int cachedFont_ = -2;
    int cachedCodePage_ = 1252;
    int cachedFontsVersion_ = -1;
    int cachedDocCodePage_ = 1252;

    std::vector<QColor> colors_;
    int red_ = 0, green_ = 0, blue_ = 0;
    bool colorDraft_ = false;

    QString instruction_;
    std::vector<QString> links_;

    QString run_;
    CharProps runProps_;
    bool runInTable_ = false;
    ParaProps lastPara_;
    bool needBlock_ = false; // the paragraph ended; the next content starts a new one

    QTextTable* table_ = nullptr;
    bool tablesEnabled_ = true;
    int finishedCells_ = 0;
    int usedRows_ = 0;
    int row_ = 0;
    int column_ = 0;
    bool rowEnded_ = false;
    bool cellEnded_ = false;
    std::vector<int> rowCells_; // \cellx of the current row definition
    bool rowBorders_ = false;
};

void Reader::run() {
    stack_.reserve(64);
    while (p_ < end_ && !finished_) {
        const unsigned char c = *p_;
        switch (c) {
        case '{':
            ++p_;
            openGroup();
            break;
        case '}':
            ++p_;
            closeGroup();
            break;
        case '\\':
            ++p_;
            if (p_ < end_ && isLetter(*p_))
                controlWord();
            else
                controlSymbol();
            break;
        case '\r':
        case '\n':
            ++p_; // line ends in RTF source are not text
            break;
        default:
            ++p_;
            textByte(c);
            break;
        }
    }
    finish();
}

Reader::WordToken Reader::readWord() {
    WordToken w;
    const unsigned char* start = p_;
    while (p_ < end_ && isLetter(*p_))
        ++p_;
    // RTF limits control words to 32 letters; a longer run is no word we know,
    // but it is consumed whole so its letters never show as text.
    if (p_ - start <= 32)
        w.name = std::string_view(reinterpret_cast<const char*>(start), p_ - start);
    bool negative = false;
    if (p_ + 1 < end_ && *p_ == '-' && isDigit(p_[1])) {
        negative = true;
        ++p_;
    }
    while (p_ < end_ && isDigit(*p_)) {
        w.hasParam = true;
        w.param = std::min(w.param * 10 + (*p_ - '0'), kMaxParameter);
        ++p_;
    }
    if (negative)
        w.param = -w.param;
    if (p_ < end_ && *p_ == ' ')
        ++p_; // the space that ends a control word belongs to it
    return w;
}

void Reader::controlSymbol() {
    if (p_ >= end_)
        return;
    const unsigned char c = *p_++;
    if (c == '\'') {
        int value = 0;
        int digits = 0;
        while (digits < 2 && p_ < end_ && hexValue(*p_) >= 0) {
            value = value * 16 + hexValue(*p_++);
            ++digits;
        }
        ignorable_ = false;
        if (digits == 0)
            return;
        if (skip_ > 0) {
            --skip_;
            return;
        }
        putByte(static_cast<unsigned char>(value));
        return;
    }
    flushBytes();
    ignorable_ = false;
    if (skip_ > 0) {
        --skip_;
        return;
    }
    switch (c) {
    case '*':
        ignorable_ = true;
        break;
    case '\\':
    case '{':
    case '}':
        putChar(c);
        break;
    case '~':
        putChar(0x00A0);
        break;
    case '-':
        putChar(0x00AD);
        break;
    case '_':
        putChar(0x2011);
        break;
    case '\t':
        putChar(u'\t');
        break;
    case '\r':
    case '\n':
        // A backslash before a line end is an old way to write \par.
        paragraph();
        break;
    default:
        break; // \: \| and symbols nobody defined
    }
}

void Reader::controlWord() {
    const WordToken w = readWord();
    flushBytes();
    const bool ignorable = std::exchange(ignorable_, false);
    const keyword::Word word = keyword::find(w.name);
    const Kw kw = word.kw;

    if (kw == Kw::Binary) {
        // The data is bytes, not text, whatever destination holds it.
        skipBinary(w.hasParam ? w.param : 0);
        if (skip_ > 0)
            --skip_;
        return;
    }
    if (skip_ > 0) {
        --skip_;
        return;
    }
    if (kw == Kw::SkipDestination || (ignorable && kw != Kw::FontTable && kw != Kw::ColorTable &&
                                      kw != Kw::FieldInstruction && kw != Kw::FieldResult)) {
        skipGroup();
        return;
    }

    // Each family answers the keywords it knows; an unknown word is ignored.
    documentWord(kw, w) || destinationWord(kw) || fontWord(kw, w) || colorWord(kw, w) ||
        characterWord(kw, w) || paragraphWord(kw, w) || tableWord(kw, w) || textWord(kw, w, word);
}

// The document's code page and defaults.
bool Reader::documentWord(Kw kw, const WordToken& w) {
    switch (kw) {
    case Kw::Ansi:
        docCodePage_ = 1252;
        break;
    case Kw::Mac:
        docCodePage_ = 10000;
        break;
    case Kw::Pc:
        docCodePage_ = 437;
        break;
    case Kw::Pca:
        docCodePage_ = 850;
        break;
    case Kw::AnsiCodePage:
        if (w.param > 0 && w.param < 100000)
            docCodePage_ = static_cast<int>(w.param);
        break;
    case Kw::DefaultFont:
        defaultFont_ = clampTo(w.param, 0, 1 << 30);
        break;
    case Kw::DefaultTab:
        if (w.param > 0)
            defaultTabTwips_ = clampTo(w.param, 15, kMaxTwips);
        break;
    default:
        return false;
    }
    return true;
}

// Destinations: what the group's text is for.
bool Reader::destinationWord(Kw kw) {
    State& s = top();
    CharProps& chr = s.chr;
    switch (kw) {
    case Kw::FontTable:
        s.dest = Dest::FontTable;
        break;
    case Kw::ColorTable:
        s.dest = Dest::ColorTable;
        colorDraft_ = false;
        red_ = green_ = blue_ = 0;
        break;
    case Kw::FieldInstruction:
        s.dest = Dest::FieldInstruction;
        instruction_.clear();
        break;
    case Kw::FieldResult: {
        s.dest = Dest::Text;
        const QString target = hyperlinkTarget(instruction_);
        instruction_.clear();
        if (!target.isEmpty() && links_.size() < kMaxLinks) {
            links_.push_back(target);
            chr.link = static_cast<int>(links_.size()) - 1;
        }
        break;
    }
    default:
        return false;
    }
    return true;
}

// Fonts, and the entries of the font table.
bool Reader::fontWord(Kw kw, const WordToken& w) {
    State& s = top();
    CharProps& chr = s.chr;
    const bool fontTable = s.dest == Dest::FontTable && fontDraftActive_;
    switch (kw) {
    case Kw::Font:
        if (s.dest == Dest::FontTable)
            startFont(clampTo(w.param, 0, 1 << 30));
        else
            chr.font = clampTo(w.param, 0, 1 << 30);
        break;
    case Kw::Charset:
        if (fontTable)
            fontDraftCharset_ = clampTo(w.param, 0, 255);
        break;
    case Kw::FamilyNil:
        if (fontTable)
            fontDraft_.hint = QFont::AnyStyle;
        break;
    case Kw::FamilyRoman:
        if (fontTable)
            fontDraft_.hint = QFont::Serif;
        break;
    case Kw::FamilySwiss:
        if (fontTable)
            fontDraft_.hint = QFont::SansSerif;
        break;
    case Kw::FamilyModern:
        if (fontTable)
            fontDraft_.hint = QFont::TypeWriter;
        break;
    case Kw::FamilyScript:
        if (fontTable)
            fontDraft_.hint = QFont::Cursive;
        break;
    case Kw::FamilyDecor:
        if (fontTable)
            fontDraft_.hint = QFont::Decorative;
        break;
    case Kw::FamilyTech:
        if (fontTable)
            fontDraft_.hint = QFont::AnyStyle;
        break;
    case Kw::Pitch:
        if (fontTable)
            fontDraft_.fixedPitch = w.param == 1;
        break;
    default:
        return false;
    }
    return true;
}

// The entries of the colour table.
bool Reader::colorWord(Kw kw, const WordToken& w) {
    const State& s = top();
    switch (kw) {
    case Kw::Red:
    case Kw::Green:
    case Kw::Blue:
        if (s.dest == Dest::ColorTable) {
            const int v = clampTo(w.param, 0, 255);
            (kw == Kw::Red ? red_ : kw == Kw::Green ? green_ : blue_) = v;
            colorDraft_ = true;
        }
        break;
    default:
        return false;
    }
    return true;
}

// Character formatting.
bool Reader::characterWord(Kw kw, const WordToken& w) {
    CharProps& chr = top().chr;
    const bool on = !w.hasParam || w.param != 0;
    switch (kw) {
    case Kw::Plain: {
        const int link = chr.link; // a hyperlink is not formatting: \plain keeps it
        chr = CharProps{};
        chr.link = link;
        break;
    }
    case Kw::Bold:
        chr.bold = on;
        break;
    case Kw::Italic:
        chr.italic = on;
        break;
    case Kw::Underline:
        chr.underline = on ? QTextCharFormat::SingleUnderline : QTextCharFormat::NoUnderline;
        break;
    case Kw::UnderlineDotted:
        chr.underline = on ? QTextCharFormat::DotLine : QTextCharFormat::NoUnderline;
        break;
    case Kw::UnderlineDash:
        chr.underline = on ? QTextCharFormat::DashUnderline : QTextCharFormat::NoUnderline;
        break;
    case Kw::UnderlineDashDot:
        chr.underline = on ? QTextCharFormat::DashDotLine : QTextCharFormat::NoUnderline;
        break;
    case Kw::UnderlineDashDotDot:
        chr.underline = on ? QTextCharFormat::DashDotDotLine : QTextCharFormat::NoUnderline;
        break;
    case Kw::UnderlineWave:
        chr.underline = on ? QTextCharFormat::WaveUnderline : QTextCharFormat::NoUnderline;
        break;
    case Kw::UnderlineNone:
        chr.underline = QTextCharFormat::NoUnderline;
        break;
    case Kw::Strike:
        chr.strike = on;
        break;
    case Kw::FontSize:
        chr.halfPoints = w.param > 0 ? clampTo(w.param, 2, kMaxHalfPoints) : 24;
        break;
    case Kw::Foreground:
        chr.foreground = clampTo(w.param, 0, kMaxColors);
        break;
    case Kw::Background:
        chr.background = clampTo(w.param, 0, kMaxColors);
        break;
    case Kw::Super:
        chr.vertical = Vertical::Super;
        break;
    case Kw::Sub:
        chr.vertical = Vertical::Sub;
        break;
    case Kw::NoSuperSub:
        chr.vertical = Vertical::Normal;
        break;
    case Kw::Up:
        chr.vertical = on ? Vertical::Super : Vertical::Normal;
        break;
    case Kw::Down:
        chr.vertical = on ? Vertical::Sub : Vertical::Normal;
        break;
    case Kw::Hidden:
        chr.hidden = on;
        break;
    case Kw::Caps:
        chr.caps = on ? Caps::All : Caps::None;
        break;
    case Kw::SmallCaps:
        chr.caps = on ? Caps::Small : Caps::None;
        break;
    default:
        return false;
    }
    return true;
}

// Paragraph formatting.
bool Reader::paragraphWord(Kw kw, const WordToken& w) {
    State& s = top();
    ParaProps& para = s.para;
    const bool on = !w.hasParam || w.param != 0;
    switch (kw) {
    case Kw::Pard:
        if (!s.listText)
            para = ParaProps{};
        break;
    case Kw::AlignLeft:
        para.align = Align::Left;
        break;
    case Kw::AlignRight:
        para.align = Align::Right;
        break;
    case Kw::AlignCenter:
        para.align = Align::Center;
        break;
    case Kw::AlignJustify:
        para.align = Align::Justify;
        break;
    case Kw::LeftIndent:
        para.left = clampTo(w.param, -kMaxTwips, kMaxTwips);
        break;
    case Kw::RightIndent:
        para.right = clampTo(w.param, -kMaxTwips, kMaxTwips);
        break;
    case Kw::FirstIndent:
        para.first = clampTo(w.param, -kMaxTwips, kMaxTwips);
        break;
    case Kw::SpaceBefore:
        para.before = clampTo(w.param, 0, kMaxTwips);
        break;
    case Kw::SpaceAfter:
        para.after = clampTo(w.param, 0, kMaxTwips);
        break;
    case Kw::LineSpacing:
        para.lineSpacing = clampTo(w.param, -kMaxTwips, kMaxTwips);
        break;
    case Kw::LineSpacingMultiple:
        para.lineMultiple = on;
        break;
    case Kw::InTable:
        para.inTable = true;
        break;
    case Kw::TabStop:
        if (para.tabCount < kMaxTabs)
            para.tabs[para.tabCount++] = {clampTo(w.param, 0, kMaxTwips), para.nextTabType};
        para.nextTabType = QTextOption::LeftTab;
        break;
    case Kw::TabRight:
        para.nextTabType = QTextOption::RightTab;
        break;
    case Kw::TabCenter:
        para.nextTabType = QTextOption::CenterTab;
        break;
    case Kw::TabDecimal:
        para.nextTabType = QTextOption::DelimiterTab;
        break;
    case Kw::RightToLeft:
        para.rightToLeft = true;
        break;
    case Kw::LeftToRight:
        para.rightToLeft = false;
        break;
    default:
        return false;
    }
    return true;
}

// Table rows and cells.
bool Reader::tableWord(Kw kw, const WordToken& w) {
    ParaProps& para = top().para;
    switch (kw) {
    case Kw::RowDefaults:
        rowCells_.clear();
        rowBorders_ = false;
        // A row definition starts table text even where a writer leaves out
        // \intbl; \pard ends it as usual.
        para.inTable = true;
        break;
    case Kw::CellRight:
        if (rowCells_.size() < static_cast<std::size_t>(kMaxColumns))
            rowCells_.push_back(clampTo(w.param, -kMaxTwips, kMaxTwips));
        break;
    case Kw::Border:
        rowBorders_ = true;
        break;
    case Kw::Cell:
        cell();
        break;
    case Kw::Row:
        row();
        break;
    case Kw::NestedCell:
        putChar(u'\t');
        break;
    case Kw::NestedRow:
        paragraph();
        break;
    default:
        return false;
    }
    return true;
}

// Text: paragraph ends, special characters and Unicode.
bool Reader::textWord(Kw kw, const WordToken& w, const keyword::Word& word) {
    State& s = top();
    switch (kw) {
    case Kw::ListText:
        s.listText = true;
        break;
    case Kw::Par:
        paragraph();
        break;
    case Kw::Line:
        putChar(QChar::LineSeparator);
        break;
    case Kw::Tab:
        putChar(u'\t');
        break;
    case Kw::Char:
        putChar(word.character);
        break;
    case Kw::Unicode:
        if (w.hasParam) {
            putUnicode(w.param);
            skip_ = top().unicodeSkip;
        }
        break;
    case Kw::UnicodeSkip:
        s.unicodeSkip = w.hasParam ? clampTo(w.param, 0, kMaxUnicodeSkip) : 1;
        break;
    default:
        return false;
    }
    return true;
}

void Reader::skipGroup() {
    // A fast scan to the end of the group: only braces, escapes and \bin data
    // matter here, and nested groups need no saved state.
    std::int64_t depth = 0;
    while (p_ < end_) {
        const unsigned char c = *p_++;
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth == 0) {
                closeGroup();
                return;
            }
            --depth;
        } else if (c == '\\' && p_ < end_) {
            if (isLetter(*p_)) {
                const WordToken w = readWord();
                if (w.name == "bin")
                    skipBinary(w.hasParam ? w.param : 0);
            } else {
                ++p_; // a control symbol; \{ and \} are not braces
            }
        }
    }
}

void Reader::skipBinary(std::int64_t count) {
    const std::int64_t left = end_ - p_;
    p_ += std::clamp<std::int64_t>(count, 0, left);
}

void Reader::openGroup() {
    flushBytes();
    ignorable_ = false;
    skip_ = 0;
    if (stack_.empty()) {
        stack_.emplace_back();
        return;
    }
    if (stack_.size() >= static_cast<std::size_t>(maxDepth_)) {
        ++overflow_;
        return;
    }
    const State copy = stack_.back(); // push_back may move the vector
    stack_.push_back(copy);
}

void Reader::closeGroup() {
    flushBytes();
    ignorable_ = false;
    skip_ = 0;
    if (overflow_ > 0) {
        --overflow_;
        return;
    }
    if (stack_.empty())
        return;
    const State& s = top();
    if (s.dest == Dest::FontTable && fontDraftActive_ && stack_.size() == fontDraftDepth_)
        commitFont();
    if (s.dest == Dest::ColorTable && colorDraft_ && stack_.size() >= 2 &&
        stack_[stack_.size() - 2].dest != Dest::ColorTable)
        commitColor(); // a last colour without its ';'
    if (stack_.size() == 1)
        finished_ = true; // the document is the first group; what follows is not RTF
    stack_.pop_back();
}

void Reader::textByte(unsigned char byte) {
    ignorable_ = false;
    if (byte < 0x20 && byte != '\t')
        return; // control bytes, such as the NULs some writers pad files with
    if (skip_ > 0) {
        --skip_;
        return;
    }
    putByte(byte);
}

int Reader::codePage() {
    const State& s = top();
    if (s.dest != Dest::Text)
        return docCodePage_;
    const int id = s.chr.font < 0 ? defaultFont_ : s.chr.font;
    if (id != cachedFont_ || fontsVersion_ != cachedFontsVersion_ ||
        docCodePage_ != cachedDocCodePage_) {
        cachedFont_ = id;
        cachedFontsVersion_ = fontsVersion_;
        cachedDocCodePage_ = docCodePage_;
        const FontEntry* f = font(id);
        cachedCodePage_ =
            f != nullptr && f->codePage != codepage::kDefault ? f->codePage : docCodePage_;
    }
    return cachedCodePage_;
}

void Reader::putByte(unsigned char byte) {
    const int cp = codePage();
    if (cp == codepage::kSymbol || cp == codepage::kWingdings) {
        flushBytes();
        putChar(codepage::symbol(cp, byte));
        return;
    }
    if (byte < 0x80 && bytes_.isEmpty()) {
        putChar(byte);
        return;
    }
    if (cp != 1252 && decoders_.hasDecoder(cp)) {
        // Multi-byte code pages split characters over several \'hh escapes:
        // collect the bytes and decode them together.
        if (!bytes_.isEmpty() && bytesCodePage_ != cp)
            flushBytes();
        bytesCodePage_ = cp;
        bytes_.append(static_cast<char>(byte));
        return;
    }
    flushBytes();
    putChar(codepage::windows1252(byte));
}

void Reader::putUnicode(std::int64_t code) {
    if (code < 0)
        code += 65536; // RTF writes code points above 32767 as negative numbers
    if (code <= 0 || code > 0x10FFFF)
        return;
    if (code > 0xFFFF) {
        const char32_t c = static_cast<char32_t>(code);
        putChar(QChar::highSurrogate(c));
        putChar(QChar::lowSurrogate(c));
        return;
    }
    const int cp = codePage();
    if ((cp == codepage::kSymbol || cp == codepage::kWingdings) && code >= 0xF020 &&
        code <= 0xF0FF) {
        // Symbol fonts' characters live at U+F000 plus their byte.
        putChar(codepage::symbol(cp, static_cast<unsigned char>(code & 0xFF)));
        return;
    }
    putChar(static_cast<char16_t>(code));
}

void Reader::putChar(char16_t c) {
    if (QChar::isHighSurrogate(c)) {
        if (pendingHigh_ != 0)
            route(kReplacement);
        pendingHigh_ = c;
        return;
    }
    if (QChar::isLowSurrogate(c)) {
        if (pendingHigh_ != 0) {
            route(std::exchange(pendingHigh_, 0));
            route(c);
        } else {
            route(kReplacement);
        }
        return;
    }
    if (pendingHigh_ != 0) {
        pendingHigh_ = 0;
        route(kReplacement);
    }
    if ((c < 0x20 && c != u'\t') || c == 0x7F)
        return; // control characters show as nothing in a word processor either
    // Qt's text cursor reads these as paragraph, frame and object marks.
    if (c == QChar::ParagraphSeparator || c == 0xFDD0 || c == 0xFDD1 ||
        c == QChar::ObjectReplacementCharacter || c == 0xFFFE || c == 0xFFFF)
        c = kReplacement;
    route(c);
}

void Reader::route(char16_t c) {
    switch (top().dest) {
    case Dest::Text:
        textChar(c);
        break;
    case Dest::FontTable:
        if (!fontDraftActive_)
            break;
        if (c == u';')
            commitFont();
        else if (fontDraft_.name.size() < kMaxNameLength)
            fontDraft_.name.append(QChar(c));
        break;
    case Dest::ColorTable:
        if (c == u';')
            commitColor();
        break;
    case Dest::FieldInstruction:
        if (instruction_.size() < kMaxInstructionLength)
            instruction_.append(QChar(c));
        break;
    }
}

void Reader::textChar(char16_t c) {
    const State& s = top();
    if (s.chr.hidden)
        return;
    // A run is placed where its first character goes, so it ends where the
    // formatting changes and where text moves into or out of a table.
    if (run_.isEmpty() || !(s.chr == runProps_) || s.para.inTable != runInTable_) {
        flushRun();
        place();
        runProps_ = s.chr;
        runInTable_ = s.para.inTable;
    }
    run_.append(QChar(c));
}

void Reader::flushBytes() {
    if (bytes_.isEmpty())
        return;
    const QString text = decoders_.decode(bytesCodePage_, bytes_);
    bytes_.clear();
    for (QChar c : text)
        putChar(c.unicode());
}

void Reader::flushRun() {
    if (run_.isEmpty())
        return;
    cursor_.insertText(run_, charFormat(runProps_));
    run_.resize(0);
}

void Reader::endRun() {
    flushBytes();
    // Half a surrogate pair before a paragraph or cell end has no partner left.
    pendingHigh_ = 0;
    flushRun();
}

void Reader::place() {
    const ParaProps& para = top().para;
    lastPara_ = para;
    if (para.inTable && tablesEnabled_ && placeInTable())
        return;
    if (table_ != nullptr)
        leaveTable();
    if (needBlock_)
        newBlock();
}

bool Reader::fits(int rows, int columns) const {
    return static_cast<std::int64_t>(rows) * columns <=
           static_cast<std::int64_t>(maxTableCells_) - finishedCells_;
}

bool Reader::placeInTable() {
    if (table_ == nullptr) {
        if (!startTable())
            return false;
    } else if (rowEnded_) {
        if (!nextRow())
            return false;
    } else if (cellEnded_) {
        nextCell();
    }
    if (needBlock_)
        newBlock();
    return true;
}

bool Reader::startTable() {
    const int columns = std::clamp(static_cast<int>(rowCells_.size()), 1, kMaxColumns);
    if (!fits(1, columns)) {
        disableTables();
        return false;
    }
    // The table follows the paragraph that ended; at the very start of the
    // document Qt keeps an empty paragraph before it.
    needBlock_ = false;
    table_ = cursor_.insertTable(1, columns, tableFormat(columns));
    cursor_ = table_->cellAt(0, 0).firstCursorPosition();
    usedRows_ = 1;
    row_ = 0;
    column_ = 0;
    rowEnded_ = false;
    cellEnded_ = false;
    return true;
}

bool Reader::nextRow() {
    rowEnded_ = false;
    cellEnded_ = false;
    const int rows = table_->rows();
    int columns = table_->columns();
    const int wanted = std::clamp(static_cast<int>(rowCells_.size()), 1, kMaxColumns);
    if (wanted > columns && fits(rows, wanted)) {
        table_->appendColumns(wanted - columns);
        columns = wanted;
    }
    if (usedRows_ == rows) {
        int batch = std::clamp(rows, 1, kMaxRowBatch);
        while (batch > 1 && !fits(rows + batch, columns))
            batch /= 2;
        if (!fits(rows + batch, columns)) {
            disableTables();
            return false;
        }
        table_->appendRows(batch);
    }
    row_ = usedRows_++;
    column_ = 0;
    cursor_ = table_->cellAt(row_, 0).firstCursorPosition();
    needBlock_ = false;
    return true;
}

void Reader::nextCell() {
    cellEnded_ = false;
    needBlock_ = false;
    int columns = table_->columns();
    if (column_ + 1 >= columns && columns < kMaxColumns && fits(table_->rows(), columns + 1)) {
        table_->appendColumns(1);
        ++columns;
    }
    if (column_ + 1 < columns) {
        ++column_;
        cursor_ = table_->cellAt(row_, column_).firstCursorPosition();
    } else {
        // No room for another cell: keep its text apart in the last one.
        cursor_.insertText(QStringLiteral("\t"), charFormat(top().chr));
    }
}

void Reader::leaveTable() {
    if (table_ == nullptr)
        return;
    if (usedRows_ < table_->rows())
        table_->removeRows(usedRows_, table_->rows() - usedRows_);
    finishedCells_ += table_->rows() * table_->columns();
    cursor_.setPosition(table_->lastPosition() + 1);
    table_ = nullptr;
    rowEnded_ = false;
    cellEnded_ = false;
    needBlock_ = false;
}

void Reader::disableTables() {
    leaveTable();
    tablesEnabled_ = false;
}

void Reader::newBlock() {
    cursor_.insertBlock(QTextBlockFormat(), QTextCharFormat());
    needBlock_ = false;
}

void Reader::finishBlock(const ParaProps& para, const CharProps& chr) {
    cursor_.setBlockFormat(blockFormat(para));
    // An empty paragraph is as high as its paragraph mark's font. Inside a
    // table the mark carries the cell, so it is left alone there.
    if (table_ == nullptr && cursor_.block().length() <= 1)
        cursor_.setBlockCharFormat(charFormat(chr));
}

void Reader::paragraph() {
    if (top().dest != Dest::Text)
        return;
    endRun();
    place();
    finishBlock(top().para, top().chr);
    needBlock_ = true;
}

void Reader::cell() {
    if (top().dest != Dest::Text)
        return;
    endRun();
    if (!tablesEnabled_) {
        putChar(u'\t');
        return;
    }
    if (!top().para.inTable) {
        putChar(u'\t'); // a cell end outside any table
        return;
    }
    place();
    if (table_ == nullptr) { // the cell budget ran out just now
        putChar(u'\t');
        return;
    }
    finishBlock(top().para, top().chr);
    cellEnded_ = true;
}

void Reader::row() {
    if (top().dest != Dest::Text)
        return;
    endRun();
    if (!tablesEnabled_) {
        paragraph();
        return;
    }
    if (table_ != nullptr) {
        rowEnded_ = true;
        cellEnded_ = false;
    }
}

void Reader::finish() {
    if (!stack_.empty())
        flushBytes();
    pendingHigh_ = 0;
    flushRun();
    if (!needBlock_ && cursor_.block().length() > 1)
        cursor_.setBlockFormat(blockFormat(lastPara_));
    leaveTable();
    QTextOption option = document_.defaultTextOption();
    option.setTabStopDistance(pixels(defaultTabTwips_));
    document_.setDefaultTextOption(option);
}

void Reader::startFont(int id) {
    if (fontDraftActive_)
        commitFont();
    fontDraftActive_ = true;
    fontDraftDepth_ = stack_.size();
    fontDraftId_ = id;
    fontDraftCharset_ = -1;
    fontDraft_ = FontEntry{};
}

void Reader::commitFont() {
    if (!fontDraftActive_)
        return;
    fontDraftActive_ = false;
    FontEntry entry = std::move(fontDraft_);
    entry.name = entry.name.trimmed();
    entry.codePage =
        fontDraftCharset_ >= 0 ? codepage::forCharset(fontDraftCharset_) : codepage::kDefault;
    const bool symbolName = entry.name.compare(u"Symbol", Qt::CaseInsensitive) == 0;
    const bool wingdings = entry.name.startsWith(u"Wingdings", Qt::CaseInsensitive);
    if (wingdings)
        entry.codePage = codepage::kWingdings;
    else if (symbolName)
        entry.codePage = codepage::kSymbol;
    if (fonts_.size() < static_cast<std::size_t>(kMaxFonts) || fonts_.count(fontDraftId_) != 0) {
        fonts_[fontDraftId_] = std::move(entry);
        ++fontsVersion_;
    }
}

void Reader::commitColor() {
    if (colors_.size() < static_cast<std::size_t>(kMaxColors))
        colors_.push_back(colorDraft_ ? QColor(red_, green_, blue_) : QColor());
    colorDraft_ = false;
    red_ = green_ = blue_ = 0;
}

const FontEntry* Reader::font(int id) const {
    const auto it = fonts_.find(id);
    return it == fonts_.end() ? nullptr : &it->second;
}

QColor Reader::color(int index) const {
    if (index <= 0 || static_cast<std::size_t>(index) >= colors_.size())
        return {};
    return colors_[index];
}

QTextCharFormat Reader::charFormat(const CharProps& p) const {
    QTextCharFormat f;
    if (const FontEntry* e = font(p.font < 0 ? defaultFont_ : p.font)) {
        // Symbol fonts' characters are already turned into Unicode; the text
        // font around them shows those better than a font of pictures.
        const bool symbolFont =
            e->codePage == codepage::kSymbol || e->codePage == codepage::kWingdings;
        if (!symbolFont && !e->name.isEmpty()) {
            f.setFontFamilies(QStringList{e->name});
            f.setFontStyleHint(e->hint);
            if (e->fixedPitch)
                f.setFontFixedPitch(true);
        }
    }
    f.setFontPointSize(p.halfPoints / 2.0);
    if (p.bold)
        f.setFontWeight(QFont::Bold);
    if (p.italic)
        f.setFontItalic(true);
    if (p.underline != QTextCharFormat::NoUnderline)
        f.setUnderlineStyle(p.underline);
    if (p.strike)
        f.setFontStrikeOut(true);
    if (const QColor c = color(p.foreground); c.isValid())
        f.setForeground(c);
    if (const QColor c = color(p.background); c.isValid())
        f.setBackground(c);
    if (p.vertical == Vertical::Super)
        f.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
    else if (p.vertical == Vertical::Sub)
        f.setVerticalAlignment(QTextCharFormat::AlignSubScript);
    if (p.caps == Caps::All)
        f.setFontCapitalization(QFont::AllUppercase);
    else if (p.caps == Caps::Small)
        f.setFontCapitalization(QFont::SmallCaps);
    if (p.link >= 0 && static_cast<std::size_t>(p.link) < links_.size()) {
        f.setAnchor(true);
        f.setAnchorHref(links_[p.link]);
    }
    return f;
}

QTextBlockFormat Reader::blockFormat(const ParaProps& p) const {
    QTextBlockFormat f;
    switch (p.align) {
    case Align::Left:
        f.setAlignment(Qt::AlignLeft);
        break;
    case Align::Right:
        f.setAlignment(Qt::AlignRight);
        break;
    case Align::Center:
        f.setAlignment(Qt::AlignHCenter);
        break;
    case Align::Justify:
        f.setAlignment(Qt::AlignJustify);
        break;
    }
    if (p.left != 0)
        f.setLeftMargin(pixels(p.left));
    if (p.right != 0)
        f.setRightMargin(pixels(p.right));
    if (p.first != 0)
        f.setTextIndent(pixels(p.first));
    if (p.before != 0)
        f.setTopMargin(pixels(p.before));
    if (p.after != 0)
        f.setBottomMargin(pixels(p.after));
    if (p.lineSpacing != 0) {
        if (p.lineMultiple) // in 240ths of a single line
            f.setLineHeight(std::clamp(std::abs(p.lineSpacing) * 100.0 / 240.0, 10.0, 1000.0),
                            QTextBlockFormat::ProportionalHeight);
        else if (p.lineSpacing > 0)
            f.setLineHeight(pixels(p.lineSpacing), QTextBlockFormat::MinimumHeight);
        else
            f.setLineHeight(pixels(-p.lineSpacing), QTextBlockFormat::FixedHeight);
    }
    if (p.rightToLeft)
        f.setLayoutDirection(Qt::RightToLeft);

    // RTF tab stops count from the left margin; Qt's count from the start of
    // the line, which for the first line is the indent plus the first-line
    // indent. The first line is where tabs are used: list bullets, columns.
    const int origin = p.left + p.first;
    QList<QTextOption::Tab> tabs;
    for (int k = 0; k < p.tabCount; ++k) {
        const int at = p.tabs[k].position - origin;
        if (at > 0) {
            QTextOption::Tab tab(pixels(at), p.tabs[k].type);
            if (tab.type == QTextOption::DelimiterTab)
                tab.delimiter = u'.';
            tabs.append(tab);
        }
    }
    // A hanging indent is a tab stop of its own, the one after a list bullet.
    if (p.first < 0)
        tabs.append(QTextOption::Tab(pixels(-p.first), QTextOption::LeftTab));
    if (!tabs.isEmpty()) {
        std::sort(tabs.begin(), tabs.end(),
                  [](const QTextOption::Tab& a, const QTextOption::Tab& b) {
                      return a.position < b.position;
                  });
        tabs.erase(std::unique(tabs.begin(), tabs.end(),
                               [](const QTextOption::Tab& a, const QTextOption::Tab& b) {
                                   return a.position == b.position;
                               }),
                   tabs.end());
        f.setTabPositions(tabs);
    }
    return f;
}

QTextTableFormat Reader::tableFormat(int columns) const {
    QTextTableFormat f;
    f.setBorder(rowBorders_ ? 1 : 0);
    f.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    f.setBorderCollapse(true);
    f.setCellSpacing(0);
    f.setCellPadding(4);
    if (static_cast<int>(rowCells_.size()) == columns) {
        QList<QTextLength> widths;
        int previous = 0;
        for (int right : rowCells_) {
            if (right <= previous)
                return f; // widths that make no sense: let Qt size the columns
            widths.append(QTextLength(QTextLength::FixedLength, pixels(right - previous)));
            previous = right;
        }
        f.setColumnWidthConstraints(widths);
    }
    return f;
}

} // namespace

bool read(QByteArrayView rtf, QTextDocument& document) {
    return read(rtf, document, Limits{});
}

bool read(QByteArrayView rtf, QTextDocument& document, const Limits& limits) {
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false); // the read is no edit anyone undoes
    document.clear();
    const bool isRtf = rtf.startsWith(QByteArrayView("{\\rtf"));
    if (isRtf) {
        QTextCursor edit(&document);
        edit.beginEditBlock(); // one layout pass at the end, not one per run
        Reader(rtf, document, limits).run();
        edit.endEditBlock();
    }
    document.setUndoRedoEnabled(undo);
    return isRtf;
}

} // namespace rtf

#pragma once

#include <cstdint>
#include <string_view>

// The control words the reader acts on. Every other word is ignored, which is
// what RTF asks of a reader that does not know a word.
namespace rtf::keyword {

enum class Kw : std::uint8_t {
    Unknown,
    // The document.
    Ansi,
    Mac,
    Pc,
    Pca,
    AnsiCodePage,
    DefaultFont,
    DefaultTab,
    // Destinations.
    FontTable,
    ColorTable,
    FieldInstruction,
    FieldResult,
    SkipDestination,
    // Font table entries.
    Font,
    Charset,
    FamilyNil,
    FamilyRoman,
    FamilySwiss,
    FamilyModern,
    FamilyScript,
    FamilyDecor,
    FamilyTech,
    Pitch,
    // Colour table entries.
    Red,
    Green,
    Blue,
    // Character formatting.
    Plain,
    Bold,
    Italic,
    Underline,
    UnderlineDotted,
    UnderlineDash,
    UnderlineDashDot,
    UnderlineDashDotDot,
    UnderlineWave,
    UnderlineNone,
    Strike,
    FontSize,
    Foreground,
    Background,
    Super,
    Sub,
    NoSuperSub,
    Up,
    Down,
    Hidden,
    Caps,
    SmallCaps,
    // Paragraph formatting.
    Pard,
    AlignLeft,
    AlignRight,
    AlignCenter,
    AlignJustify,
    LeftIndent,
    RightIndent,
    FirstIndent,
    SpaceBefore,
    SpaceAfter,
    LineSpacing,
    LineSpacingMultiple,
    InTable,
    TabStop,
    TabRight,
    TabCenter,
    TabDecimal,
    RightToLeft,
    LeftToRight,
    // Tables.
    RowDefaults,
    CellRight,
    Cell,
    Row,
    NestedCell,
    NestedRow,
    Border,
    // Text.
    ListText,
    Par,
    Line,
    Tab,
    Char, // one character, given with the word
    Unicode,
    UnicodeSkip,
    Binary,
};

struct Word {
    std::string_view name;
    Kw kw;
    char16_t character; // for Kw::Char
};

// The word of that name; Kw::Unknown when the reader does not act on it.
Word find(std::string_view name);

} // namespace rtf::keyword

#include "cli/Listing.h"

#include <algorithm>
#include <array>
#include <vector>

namespace listing {

namespace {

const QString kEllipsis = QStringLiteral("\u2026");

int widthOf(char32_t c) {
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || c == 0x200B)
        return 0;
    // The wide and full-width blocks of East Asian scripts, and the emoji.
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
                      (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
                      (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                      (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

// The text's characters, with surrogate pairs joined and lone surrogates as
// the replacement character.
template <class Each> void forEachCharacter(const QString& text, Each&& each) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            each(QChar::surrogateToUcs4(u, text[i + 1].unicode()));
            ++i;
        } else {
            each(QChar::isSurrogate(u) ? char32_t(0xFFFD) : char32_t(u));
        }
    }
}

QString padded(const QString& text, int width) {
    return text + QString(std::max(0, width - displayWidth(text)), QLatin1Char(' '));
}

// A field on one line of its own, written so that it reads back exactly:
// the characters that would end the field or the line, or that a terminal
// would act on (ESC starts the sequences that move the cursor and retitle
// the window, BEL rings, the C1 controls do as ESC does), are escaped, and
// the backslash that starts an escape is itself escaped. A lone surrogate,
// which UTF-8 cannot carry, is written as its escape too.
QString tsvField(const QString& text) {
    static const char hex[] = "0123456789abcdef";
    QString out;
    out.reserve(text.size());
    const auto escaped = [&](char kind, char16_t u, int digits) {
        out += QLatin1Char('\\');
        out += QLatin1Char(kind);
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
            out += QLatin1Char(hex[(u >> shift) & 0xF]);
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        switch (u) {
        case '\\':
            out += QStringLiteral("\\\\");
            continue;
        case '\t':
            out += QStringLiteral("\\t");
            continue;
        case '\n':
            out += QStringLiteral("\\n");
            continue;
        case '\r':
            out += QStringLiteral("\\r");
            continue;
        default:
            break;
        }
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            escaped('x', u, 2);
        } else if (QChar::isHighSurrogate(u) && i + 1 < text.size() &&
                   QChar::isLowSurrogate(text[i + 1].unicode())) {
            out += text.sliced(i, 2);
            ++i;
        } else if (QChar::isSurrogate(u)) {
            escaped('u', u, 4);
        } else {
            out += QChar(u);
        }
    }
    return out;
}

// A JSON string of exactly the text: a lone surrogate, which UTF-8 cannot
// carry, is written as its \u escape.
void appendJsonString(QByteArray& out, const QString& text) {
    static const char hex[] = "0123456789abcdef";
    auto escape = [&](char16_t u) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out += hex[(u >> shift) & 0xF];
    };
    out += '"';
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        switch (u) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        default:
            break;
        }
        // DEL and the C1 controls too: JSON lets them through as they are,
        // and a terminal acts on them.
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            escape(u);
        } else if (QChar::isHighSurrogate(u) && i + 1 < text.size() &&
                   QChar::isLowSurrogate(text[i + 1].unicode())) {
            out += text.sliced(i, 2).toUtf8();
            ++i;
        } else if (QChar::isSurrogate(u)) {
            escape(u);
        } else {
            out += QString(QChar(u)).toUtf8();
        }
    }
    out += '"';
}

} // namespace

int displayWidth(const QString& text) {
    int width = 0;
    forEachCharacter(text, [&](char32_t c) { width += widthOf(c); });
    return width;
}

QString oneLine(const QString& text, int maxWidth) {
    struct Shown {
        char32_t c;
        int width;
    };
    std::vector<Shown> shown;
    int total = 0;
    bool afterCr = false;
    forEachCharacter(text, [&](char32_t c) {
        const bool lf = c == '\n';
        // CR LF is one line break.
        if (lf && afterCr)
            return;
        afterCr = c == '\r';
        if (lf || c == '\r' || c == 0x2028 || c == 0x2029)
            c = 0x21B5;
        // Control characters, and the marks that reorder text on the
        // terminal (a field could make another look like something else).
        else if (QChar::category(c) == QChar::Other_Control || (c >= 0x202A && c <= 0x202E) ||
                 (c >= 0x2066 && c <= 0x2069))
            c = 0xFFFD;
        shown.push_back({c, widthOf(c)});
        total += shown.back().width;
    });
    QString out;
    int width = 0;
    // A text that does not fit keeps the last column for the ellipsis.
    const int room = total <= maxWidth ? maxWidth : maxWidth - 1;
    for (const Shown& s : shown) {
        if (width + s.width > room)
            break;
        out += QString::fromUcs4(&s.c, 1);
        width += s.width;
    }
    return total <= maxWidth ? out : out + kEllipsis;
}

QByteArray render(const EntryStore& entries, const std::vector<int>& rows, Format format,
                  bool showPasswords) {
    auto fieldOf = [&](int slot, int field) {
        if (field == EntryStore::Password && !showPasswords)
            return kHiddenPassword;
        return entries.field(static_cast<size_t>(slot), field);
    };
    QByteArray out;
    switch (format) {
    case Format::Json: {
        if (rows.empty())
            return "[]\n";
        out += "[\n";
        for (size_t i = 0; i < rows.size(); ++i) {
            out += "  {\"username\": ";
            appendJsonString(out, fieldOf(rows[i], EntryStore::Username));
            if (showPasswords) {
                out += ", \"password\": ";
                appendJsonString(out, fieldOf(rows[i], EntryStore::Password));
            }
            out += ", \"location\": ";
            appendJsonString(out, fieldOf(rows[i], EntryStore::Location));
            out += i + 1 < rows.size() ? "},\n" : "}\n";
        }
        out += "]\n";
        return out;
    }
    case Format::Tsv:
        out += "username\tpassword\tlocation\n";
        for (int slot : rows) {
            out += tsvField(fieldOf(slot, EntryStore::Username)).toUtf8() + '\t' +
                   tsvField(fieldOf(slot, EntryStore::Password)).toUtf8() + '\t' +
                   tsvField(fieldOf(slot, EntryStore::Location)).toUtf8() + '\n';
        }
        return out;
    case Format::Table: {
        const std::array<QString, 3> headers = {
            QStringLiteral("Username"), QStringLiteral("Password"), QStringLiteral("Location")};
        std::vector<std::array<QString, 3>> cells;
        cells.reserve(rows.size());
        std::array<int, 3> widths{};
        for (int k = 0; k < 3; ++k)
            widths[static_cast<size_t>(k)] = displayWidth(headers[static_cast<size_t>(k)]);
        for (int slot : rows) {
            std::array<QString, 3> row;
            for (int k = 0; k < 3; ++k) {
                // The start of a long field is all a cell can show; only
                // that part is decoded.
                const QString text =
                    k == EntryStore::Password && !showPasswords
                        ? kHiddenPassword
                        : entries.fieldStart(static_cast<size_t>(slot), k, kMaxCellWidth * 2);
                row[static_cast<size_t>(k)] = oneLine(text, kMaxCellWidth);
                widths[static_cast<size_t>(k)] = std::max(
                    widths[static_cast<size_t>(k)], displayWidth(row[static_cast<size_t>(k)]));
            }
            cells.push_back(std::move(row));
        }
        auto line = [&](const std::array<QString, 3>& cells) {
            // No spaces after the last column.
            return (padded(cells[0], widths[0]) + QStringLiteral("  ") +
                    padded(cells[1], widths[1]) + QStringLiteral("  ") + cells[2])
                       .toUtf8() +
                   '\n';
        };
        out += line(headers);
        for (const auto& row : cells)
            out += line(row);
        return out;
    }
    }
    return out;
}

QByteArray renderObject(const EntryStore& entries, int slot, const std::vector<int>& fields) {
    static const char* const keys[] = {"username", "password", "location"};
    QByteArray out = "{";
    for (size_t i = 0; i < fields.size(); ++i) {
        out += i == 0 ? "\"" : ", \"";
        out += keys[fields[i]];
        out += "\": ";
        appendJsonString(out, entries.field(static_cast<size_t>(slot), fields[i]));
    }
    return out + "}\n";
}

} // namespace listing

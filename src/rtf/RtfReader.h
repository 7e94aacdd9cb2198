#pragma once

#include <QByteArrayView>

class QTextDocument;

namespace rtf {

// Bounds that keep a hostile or broken file from costing more than a real one.
// The defaults are far above what any word processor writes.
struct Limits {
    // Groups nested deeper than this are read as part of the deepest group
    // allowed, so the saved formatting states never exceed this many.
    int maxDepth = 1000;
    // Table cells placed in the document as real table cells. Qt's tables grow
    // in time faster than linearly with their size, so once this many cells
    // are used the rest of the tables read as tab-separated paragraphs.
    int maxTableCells = 10000;
};

// Reads RTF into `document`, replacing what it held. Returns false when the
// bytes are not RTF at all (they do not start with "{\rtf"); the document is
// then left empty. Malformed RTF gives whatever could be read.
//
// The document never holds more characters than the input has bytes, plus two
// per table cell (see Limits::maxTableCells), plus a few.
bool read(QByteArrayView rtf, QTextDocument& document);
bool read(QByteArrayView rtf, QTextDocument& document, const Limits& limits);

} // namespace rtf

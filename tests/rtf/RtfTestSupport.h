#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextDocument>

#include <memory>

// Reads RTF into a fresh document and looks things up in what came out, by
// the visible text rather than by positions, so the tests say what a reader
// of the help window would see.
class ReadResult {
public:
    explicit ReadResult(const QByteArray& rtf);

    bool ok() const { return m_ok; }
    QTextDocument& document() { return *m_document; }

    // The whole text, paragraphs joined with '\n' (table cells are
    // paragraphs of their own).
    QString text() const;
    // Each paragraph's text, in order.
    QStringList paragraphs() const;
    // True when `needle` occurs in the text.
    bool contains(const QString& needle) const;

    // The format of the first character of the first occurrence of `needle`;
    // fails the test when the text is missing.
    QTextCharFormat charFormat(const QString& needle) const;
    // True when every character of the first occurrence of `needle` has the
    // same format as its first one: the text is one run.
    bool isOneRun(const QString& needle) const;
    // The format of the paragraph holding the first occurrence of `needle`.
    QTextBlockFormat blockFormat(const QString& needle) const;
    // True when the paragraph holding `needle` lies in a table.
    bool inTable(const QString& needle) const;

private:
    int positionOf(const QString& needle) const;

    std::unique_ptr<QTextDocument> m_document;
    bool m_ok = false;
};

// The text of each paragraph of a document, joined with '\n'.
QString paragraphText(const QTextDocument& document);

// A sample from tests/data/rtf.
QByteArray sample(const char* fileName);

// The first table of the document's top frame, or nullptr.
class QTextTable;
QTextTable* firstTable(QTextDocument& document);

// The text of one cell of a table.
QString cellText(QTextTable* table, int row, int column);

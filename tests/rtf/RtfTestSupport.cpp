#include "RtfTestSupport.h"

#include "rtf/RtfReader.h"

#include <QFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextFrame>
#include <QTextTable>

#include <gtest/gtest.h>

ReadResult::ReadResult(const QByteArray& rtf) : m_document(std::make_unique<QTextDocument>()) {
    m_ok = rtf::read(rtf, *m_document);
}

QString ReadResult::text() const {
    // Not toPlainText(): that turns no-break spaces into spaces.
    return paragraphs().join(u'\n');
}

QStringList ReadResult::paragraphs() const {
    QStringList out;
    for (QTextBlock b = m_document->begin(); b.isValid(); b = b.next())
        out << b.text();
    return out;
}

QString paragraphText(const QTextDocument& document) {
    QStringList out;
    for (QTextBlock b = document.begin(); b.isValid(); b = b.next())
        out << b.text();
    return out.join(u'\n');
}

bool ReadResult::contains(const QString& needle) const {
    return positionOf(needle) >= 0;
}

int ReadResult::positionOf(const QString& needle) const {
    // Not QTextDocument::find(): it matches a no-break space as a space.
    for (QTextBlock b = m_document->begin(); b.isValid(); b = b.next()) {
        const qsizetype at = b.text().indexOf(needle);
        if (at >= 0)
            return b.position() + int(at);
    }
    return -1;
}

QTextCharFormat ReadResult::charFormat(const QString& needle) const {
    const int at = positionOf(needle);
    EXPECT_GE(at, 0) << "text not found: " << needle.toStdString();
    if (at < 0)
        return {};
    QTextCursor c(m_document.get());
    c.setPosition(at + 1); // the format of the character before the cursor
    return c.charFormat();
}

bool ReadResult::isOneRun(const QString& needle) const {
    const int at = positionOf(needle);
    if (at < 0)
        return false;
    QTextCursor c(m_document.get());
    c.setPosition(at + 1);
    const QTextCharFormat first = c.charFormat();
    for (int i = 2; i <= needle.size(); ++i) {
        c.setPosition(at + i);
        if (c.charFormat() != first)
            return false;
    }
    return true;
}

QTextBlockFormat ReadResult::blockFormat(const QString& needle) const {
    const int at = positionOf(needle);
    EXPECT_GE(at, 0) << "text not found: " << needle.toStdString();
    if (at < 0)
        return {};
    return m_document->findBlock(at).blockFormat();
}

bool ReadResult::inTable(const QString& needle) const {
    const int at = positionOf(needle);
    if (at < 0)
        return false;
    QTextCursor c(m_document.get());
    c.setPosition(at);
    return c.currentTable() != nullptr;
}

QByteArray sample(const char* fileName) {
    QFile f(QStringLiteral(KEYNOOK_RTF_DATA_DIR "/") + QString::fromUtf8(fileName));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << "missing sample " << fileName;
    return f.readAll();
}

QTextTable* firstTable(QTextDocument& document) {
    for (QTextFrame* frame : document.rootFrame()->childFrames())
        if (auto* table = qobject_cast<QTextTable*>(frame))
            return table;
    return nullptr;
}

QString cellText(QTextTable* table, int row, int column) {
    const QTextTableCell cell = table->cellAt(row, column);
    QTextCursor c = cell.firstCursorPosition();
    c.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
    return c.selectedText();
}

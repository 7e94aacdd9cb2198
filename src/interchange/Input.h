#pragma once

#include <QByteArray>
#include <QString>

// The file an import reads, held to a size.
namespace interchange {

struct Input {
    QByteArray bytes;
    // Empty when the whole file was read.
    QString error;
    // Larger than the limit: refused, with no more read than one byte past it.
    bool tooLarge = false;

    bool ok() const { return error.isEmpty(); }
};

// The bytes of the file at `path`, at most `limit` of them. A larger file is
// refused: a regular one before a byte of it is read, any other (a pipe, a
// device such as /dev/zero) as soon as it gives one byte more, reading no
// further and holding no more than that in memory.
Input readInput(const QString& path, qint64 limit);

} // namespace interchange

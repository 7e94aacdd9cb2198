#pragma once

#include <QByteArrayView>

class QTextDocument;

namespace rtf {

// Reads RTF into `document`, replacing what it held. Returns false when the
// bytes are not RTF at all; malformed RTF gives whatever could be read.
bool read(QByteArrayView rtf, QTextDocument& document);

} // namespace rtf

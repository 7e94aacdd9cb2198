#include "side/RtfReader.h"

#include <QTextDocument>

namespace rtf {

bool read(QByteArrayView, QTextDocument& document) {
    document.clear();
    return false;
}

} // namespace rtf

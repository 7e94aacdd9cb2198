#include "rtf/RtfReader.h"

#include <QByteArrayView>
#include <QTextDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// libFuzzer entry: every input goes through the reader once. The reader
// promises no more characters than input bytes plus two per table cell; a
// breach is as much a bug as a crash, so it aborts.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QTextDocument document;
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    rtf::read(bytes, document);
    const rtf::Limits limits;
    if (document.characterCount() > bytes.size() + 2 * limits.maxTableCells + 16)
        std::abort();
    return 0;
}

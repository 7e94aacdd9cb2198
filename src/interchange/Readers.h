#pragma once

#include "interchange/Interchange.h"

// What the readers of each format share with the choice among them
// (Recognise.cpp): not for callers outside interchange.
namespace interchange {

// importCsv(), each entry encoded as the vault holds it.
EncodedImport importCsvEncoded(QByteArrayView bytes);

} // namespace interchange

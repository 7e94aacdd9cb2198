#pragma once

#include "interchange/Interchange.h"

// What the readers and writers of the formats share among themselves: not
// for callers outside interchange.
namespace interchange {

// As messages and JSON keys name the fields, in EntryStore's order.
inline const QString kFieldNames[3] = {QStringLiteral("username"), QStringLiteral("password"),
                                       QStringLiteral("location")};

// importCsv(), each entry encoded as the vault holds it.
EncodedImport importCsvEncoded(QByteArrayView bytes);

} // namespace interchange

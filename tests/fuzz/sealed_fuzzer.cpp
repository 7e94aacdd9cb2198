// libFuzzer target for the sealed vault reader: any bytes are opened with a
// fixed password, under bounds that keep a derivation to milliseconds (the
// reader's own parameter, as a caller narrows it), as they are and with the
// header's checksum made right. Opening never crashes, and holds to
// sealedfuzzing::check().
#include "SealedFuzzing.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView file(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::string failure = sealedfuzzing::checkBoth(file);
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        std::abort();
    }
    return 0;
}

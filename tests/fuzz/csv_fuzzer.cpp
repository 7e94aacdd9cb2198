// libFuzzer target for import: any bytes are read as `import --format auto`
// reads a file. Reading never crashes, hangs or grows past its input, and
// what it gives exports and reads back the same (see CsvCheck.h).
#include "CsvCheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = csvcheck::check(
        QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

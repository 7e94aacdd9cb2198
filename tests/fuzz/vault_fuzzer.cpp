// libFuzzer target for the vault reader: any bytes are read as a data.enc.
// What is read must save and read back to the same master password and
// entries, the file as opened (its lines kept where they can be) must save to
// the same bytes as the entries encoded anew (but for lines as saves used to
// write them, which are kept), and reading never crashes, hangs or grows past
// its input.
#include "VaultSavedAsOpened.h"
#include "vault/EntryStore.h"
#include "vault/VaultFormat.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView file(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString master = vaultformat::readMasterPassword(file);
    const std::vector<Entry> entries = vaultformat::readEntries(file);
    // Every entry comes from a line of its own, and a line takes at least one
    // byte of input.
    if (entries.size() > size)
        std::abort();
    const QByteArray saved = vaultformat::savedFile(master, entries);
    if (vaultformat::readMasterPassword(saved) != master ||
        vaultformat::readEntries(saved) != entries)
        std::abort();
    if (vaultformat::savedFile(master, EntryStore::fromFile(file.toByteArray())) !=
        savedAsOpened(file, master))
        std::abort();
    return 0;
}

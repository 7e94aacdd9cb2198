#include "vault/SealedEntries.h"

#include <optional>
#include <utility>

namespace sealedentries {

namespace {

template <class Unseal> Opened openReading(const Unseal& unseal) {
    std::optional<EntryStore::Loader> loader;
    Opened o;
    o.unsealed = unseal([&loader](QByteArrayView plain, qsizetype opened) {
        if (!loader)
            loader.emplace(plain);
        loader->readTo(opened);
    });
    if (o.unsealed.ok()) {
        o.entries =
            loader ? loader->finish(o.unsealed.plain) : EntryStore::fromFile(o.unsealed.plain);
        o.entries.wipeWhenFreed();
    }
    return o;
}

} // namespace

Opened open(QByteArray&& file, QStringView password) {
    return openReading([&](const sealedvault::OpenedSoFar& told) {
        return sealedvault::unseal(std::move(file), password, sealedvault::ParamBounds::accepted(),
                                   told);
    });
}

Opened openWithKey(QByteArray&& file, const sealedvault::SealKey& key) {
    return openReading([&](const sealedvault::OpenedSoFar& told) {
        return sealedvault::unsealWithKey(std::move(file), key, told);
    });
}

} // namespace sealedentries

#include "sync/CopyMerge.h"

#include "secrets/Wipe.h"
#include "sync/ConflictCopies.h"
#include "sync/RecordMerge.h"
#include "sync/VaultCopy.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QFile>

#include <unordered_map>

namespace copymerge {

namespace {

// Theirs without as many of each line as this run removed itself.
QByteArray withoutRemoved(QByteArrayView theirs, const std::vector<quint64>& removed) {
    std::unordered_map<quint64, int> left;
    for (const quint64 line : removed)
        ++left[line];
    QByteArray out;
    out.reserve(theirs.size());
    bool first = true;
    vaultformat::forEachLine(theirs, [&](QByteArrayView line) {
        if (!first) {
            const auto it = left.find(record::runDigest(line));
            if (it != left.end() && it->second > 0) {
                --it->second;
                return;
            }
        }
        first = false;
        out.append(line.data(), line.size());
        out.append("\r\n", 2);
    });
    return out;
}

} // namespace

namespace {

Merged mergeRecorded(QByteArrayView ours, const record::Lines& lo, const record::Record& oursRecord,
                     const record::Lines& lt, QByteArrayView theirsRecord) {
    Merged m;
    const record::Record t = RecordKeeper::read(lt, theirsRecord);
    recordmerge::Result r = recordmerge::merge({lo, oursRecord}, {lt, t});
    m.outcome = r.outcome;
    m.report = std::move(r.report);
    m.exact = !theirsRecord.isEmpty();
    if (r.outcome != vaultmerge::Outcome::Merged)
        return m;
    m.changed = r.file != ours || !record::sameMarks(r.record.marks, oursRecord.marks) ||
                r.record.vector != oursRecord.vector ||
                r.record.removedContent != oursRecord.removedContent ||
                !(r.record.master == oursRecord.master);
    m.file = std::move(r.file);
    m.record = record::encode(r.record);
    return m;
}

} // namespace

Merged mergeSealed(QByteArrayView ours, QByteArrayView oursRecord, QByteArrayView theirs,
                   QByteArrayView theirsRecord) {
    const record::Lines lo = record::linesOf(ours);
    return mergeRecorded(ours, lo, RecordKeeper::read(lo, oursRecord), record::linesOf(theirs),
                         theirsRecord);
}

Merged mergeCopy(QByteArrayView ours, const record::Record* oursRecord, QByteArrayView theirs,
                 QByteArrayView theirsRecord, const std::vector<quint64>* removedHere) {
    if (oursRecord)
        return mergeRecorded(ours, record::linesOf(ours), *oursRecord, record::linesOf(theirs),
                             theirsRecord);
    Merged m;
    QByteArray filtered;
    if (removedHere && !removedHere->empty())
        filtered = withoutRemoved(theirs, *removedHere);
    vaultmerge::Result r = vaultmerge::merge(std::nullopt, ours,
                                             filtered.isNull() ? theirs : QByteArrayView(filtered));
    secrets::wipe(filtered);
    m.outcome = r.outcome;
    m.report = std::move(r.report);
    m.file = std::move(r.file);
    m.changed = m.outcome == vaultmerge::Outcome::Merged && !m.report.unchanged();
    return m;
}

Outcome mergeConflictCopies(VaultSession& session, VaultHistory& history, RecordKeeper& keeper,
                            QStringView master, bool takeMasterChange,
                            const std::vector<quint64>* removedHere) {
    Outcome outcome;
    if (session.readOnly())
        return outcome;
    const std::vector<conflictcopies::Found> copies =
        conflictcopies::find(QFile::decodeName(session.realFile()));
    if (copies.empty())
        return outcome;
    QByteArray ours;
    outcome.status = session.plainNow(ours);
    if (!outcome.status.ok())
        return outcome;
    const bool sealed = session.sealed();
    record::Record oursRecord;
    if (sealed)
        oursRecord = keeper.last() ? *keeper.last() : RecordKeeper::read(ours, {});

    std::vector<conflictcopies::Identity> mergedIdentities; // of outcome.merged's files
    for (const conflictcopies::Found& found : copies) {
        const auto leave = [&](QString why) {
            outcome.left.push_back({found.path, found.engine, std::move(why)});
        };
        // Only a file of the user's own that is a vault, read without
        // following a link: anything else under a copy's name stays.
        conflictcopies::Candidate bytes = conflictcopies::read(found.path);
        if (!bytes.taken()) {
            leave(bytes.why);
            continue;
        }
        if (sealedvault::isSealed(bytes.bytes) != sealed) {
            secrets::wipe(bytes.bytes);
            leave(sealed ? QStringLiteral("it is not sealed, and the vault is")
                         : QStringLiteral("it is sealed, and the vault is not: seal the vault "
                                          "(keynook-cli seal) and it is merged"));
            continue;
        }
        vaultcopy::Opened copy =
            vaultcopy::open(std::move(bytes.bytes), {}, sealed ? &session.key() : nullptr);
        if (!copy.ok()) {
            leave(copy.outcome == vaultcopy::Outcome::WrongPassword
                      ? QStringLiteral("it was sealed under another master password or key; "
                                       "merge it with keynook-cli merge")
                      : copy.why);
            continue;
        }
        if (!sealed && vaultformat::readMasterPassword(copy.plain) != master) {
            secrets::wipe(copy.plain);
            leave(QStringLiteral("it holds another master password; merge it with "
                                 "keynook-cli merge"));
            continue;
        }
        Merged r =
            mergeCopy(ours, sealed ? &oursRecord : nullptr, copy.plain, copy.record, removedHere);
        secrets::wipe(copy.plain);
        if (r.outcome == vaultmerge::Outcome::MasterConflict) {
            leave(QStringLiteral("it holds another master password, and so does the vault"));
            continue;
        }
        if (r.report.masterFromTheirs && !takeMasterChange) {
            secrets::wipe(r.file);
            leave(QStringLiteral("its master password was changed on the other computer; "
                                 "merge it with keynook-cli merge"));
            continue;
        }
        outcome.changed = outcome.changed || r.changed;
        outcome.merged.push_back({found.path, found.engine, std::move(r.report)});
        mergedIdentities.push_back(bytes.identity);
        secrets::wipe(ours);
        ours = std::move(r.file);
        if (sealed)
            oursRecord = RecordKeeper::read(ours, r.record);
    }
    if (outcome.changed) {
        QString why;
        if (session.changedOutside())
            outcome.status = {VaultSession::Failure::CannotSave,
                              QStringLiteral("the vault file was changed by another program "
                                             "meanwhile")};
        // The vault as it was, before the merge rewrites it.
        else if (!history.keepVaultBackup(session.path(), VaultHistory::Why::CopiesMerge, &why))
            outcome.status = {VaultSession::Failure::CannotSave,
                              QStringLiteral("no backup of the vault could be kept (%1)").arg(why)};
        else
            outcome.status =
                session.saveWithRecord(ours, sealed ? record::encode(oursRecord) : QByteArray());
    }
    secrets::wipe(ours);
    if (!outcome.status.ok()) {
        for (Taken& m : outcome.merged)
            outcome.left.push_back({m.path, m.engine, outcome.status.why});
        outcome.merged.clear();
        return outcome;
    }
    // Removed once the merge is on disk, and only while each is still the
    // file that was merged.
    for (size_t i = 0; i < outcome.merged.size(); ++i)
        if (history.keepBackup(outcome.merged[i].path))
            conflictcopies::removeIfUnchanged(outcome.merged[i].path, mergedIdentities[i]);
    return outcome;
}

} // namespace copymerge

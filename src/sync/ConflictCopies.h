#pragma once

#include <QString>

#include <vector>

// The copies that sync engines leave beside a file that two computers
// changed before they had synced: the engine keeps one version under the
// file's name and renames the other after a pattern of its own. One table of
// those patterns, by engine; nothing here reads or merges a copy.
namespace conflictcopies {

struct Found {
    QString path;
    QString engine; // "Syncthing", "Nextcloud", "Dropbox"
};

// The engine whose conflict copy of the file named `fileName` a file named
// `name` is, or empty: `data.sync-conflict-20261207-153012-ABCDEFG.enc`,
// `data (conflicted copy 2026-12-07 153012).enc`,
// `data (conflicted copy Ann Smith 2026-12-07 153012).enc`,
// `data_conflict-20261207-153012.enc`,
// `data (Ann's MacBook (2)'s conflicted copy 2026-12-07).enc` for `data.enc`.
QString engineOf(const QString& fileName, const QString& name);

// The conflict copies of the file at `file` in its folder, sorted by name.
std::vector<Found> find(const QString& file);

} // namespace conflictcopies

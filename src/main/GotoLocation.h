#pragma once

#include <QString>
#include <QUrl>

// What Go To does with an entry's location. Web addresses get the "http://"
// prefix when they look like one; then only what cannot start a program is
// opened: an http, https or ftp address, an existing folder, or the folder
// of an existing document (never the document itself, which may be a
// script or a launcher). Everything else is refused with the reason.
struct GotoLocation {
    QUrl url;       // what to open; empty when refused
    QString reason; // why it was refused; empty when opened

    static GotoLocation decide(const QString& location);
    // The location with "http://" in front when it holds one of the markers
    // of a web address and no "http://" or "https://" already.
    static QString target(const QString& location);
};

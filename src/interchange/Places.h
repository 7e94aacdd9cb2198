#pragma once

#include <QByteArrayView>
#include <QString>

// What a location means to the managers we exchange files with: the name
// they show for it, and whether a browser keeps a password for it.
namespace interchange {

struct Place {
    // The label a manager shows for the entry: the host when the location
    // is an address with a scheme and a host, otherwise the location itself.
    QString name;
    // An http or https address with a host: the only kind a browser's
    // import takes.
    bool web = false;
};
Place placeOf(const QString& location);

// Whether a title says nothing that the location does not: it is empty, the
// location spells it out (ignoring the case of ASCII letters), or it is the
// name placeOf() gives, which export writes. Such a title is no loss when
// the location is kept in its stead.
bool titleSpelledOut(QByteArrayView title, QByteArrayView location);

} // namespace interchange

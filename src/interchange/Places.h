#pragma once

#include "interchange/Layouts.h"

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

// The host of a location written as an address with a scheme and "//"
// (https://host/, android://hash@package/): what lies between them and the
// path, past any user and password and without a port. Empty for any other
// location. It is read as browsers read the parts of an address, without
// judging whether each part is well-formed.
QByteArrayView hostOf(QByteArrayView location);

// Whether a title says nothing that the location does not: it is empty, or
// it is the location itself, the location's host, the host without "www."
// (each ignoring the case of ASCII letters), or the name placeOf() gives,
// which export writes. Such a title is no loss when the location is kept in
// its stead. Any other title is, however much of it the location holds: a
// title "Bank" for https://www.mybanking.example names the entry in a way
// the address does not.
bool titleSpelledOut(QByteArrayView title, QByteArrayView location);

// Why the password import of the browser a layout is for (Chrome's or
// Firefox's) passes over an entry, as that import reads the record export
// writes: the rule it breaks, in the browser's order of looking, or empty
// when it takes the entry. `aboutLocation` says whether the rule is about
// the location. An address is read as browsers read one: white space
// around it and line breaks in it are dropped, characters a strict reading
// of the standard refuses in a path or query are escaped, a host beyond
// ASCII is taken in its ASCII form. What the rules are not sure to refuse
// is taken.
QString browserRefusal(Layout layout, const QString& username, const QString& password,
                       const QString& location, bool& aboutLocation);

} // namespace interchange

#pragma once

#include <QString>

// One entry of the vault: what the list shows as a row.
struct Entry {
    QString username;
    QString password;
    QString location;

    friend bool operator==(const Entry&, const Entry&) = default;
};

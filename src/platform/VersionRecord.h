#pragma once

#include <QString>

// The texts and numbers of the program's version record.
struct VersionRecord {
    QString productName;
    QString companyName;
    QString comments; // the website address
    int major = 0;
    int minor = 0;

    // The record this build was made with.
    static VersionRecord ofBuild();
};

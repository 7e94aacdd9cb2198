#pragma once

#include "support/TestSupport.h"
#include "vault/Entry.h"

#include <QString>

#include <vector>

class Form1;

// One run of the program over a vault of its own in a temporary folder,
// opened the way a user opens it: the main window loads, the password dialog
// takes the master password, the entries load and the main window shows. The
// windows' harness does the work, so the benchmarks follow the program as it
// changes.
class BenchVault {
public:
    explicit BenchVault(const std::vector<Entry>& entries);
    BenchVault(const BenchVault&) = delete;
    BenchVault& operator=(const BenchVault&) = delete;

    // Null, with error() saying why, when the vault did not open.
    Form1* main() const { return m_main; }
    const QString& error() const { return m_error; }

    Program& program() { return m_harness.program(); }
    // Message boxes are answered Closed at once; a benchmark that sees one
    // has measured a failure.
    int boxesShown() const;
    QString lastBoxText() const;
    qint64 vaultSize() const;

    // What the event loop does once a handler returns: repaints, layout and
    // the deletion of windows that were unloaded.
    static void settle();

private:
    Harness m_harness;
    Form1* m_main = nullptr;
    QString m_error;
};

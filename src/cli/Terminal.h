#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// The terminal a person types at: the process's controlling terminal, or
// standard input when that is one. Secrets are read from it with echo off,
// and prompts are written to it, not to standard output or error, so that
// redirecting those never hides a question or captures an answer.
class Terminal {
public:
    // None for a process without a terminal (a pipe, a service, a job run
    // by cron): then nobody can be asked.
    static std::unique_ptr<Terminal> open();
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Shows `prompt` and reads one line without showing what is typed.
    // Empty when input ends first (Ctrl+D) or cannot be read. The echo comes
    // back even when the program is interrupted while it waits.
    std::optional<QByteArray> readSecret(const QString& prompt);
    // Shows `prompt` and reads one line as typed, for a yes or no.
    std::optional<QByteArray> readAnswer(const QString& prompt);

private:
    Terminal(int in, int out, bool owned);
    std::optional<QByteArray> readLine();
    void write(const QByteArray& bytes);

    int m_in;
    int m_out;
    bool m_owned;
};

// Reads the next line of standard input: the bytes up to an LF, without it
// and without a CR right before it. Nothing is read past that LF, so the next
// call, or another reader, finds the following line. Empty at the end of
// the input when no byte was left.
std::optional<QByteArray> readStandardInputLine();

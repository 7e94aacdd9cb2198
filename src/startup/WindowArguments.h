#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What the window's command line asks for. Qt takes its own options
// (-platform, -display, ...) out of the line when the application object is
// made; the line is read once before that, so that --help, --version and a
// mistake in --vault are answered without a display, and once after, when
// whatever is left is not ours.
namespace windowarguments {

struct Parsed {
    enum class Ask { Run, Help, Version };
    Ask ask = Ask::Run;
    QString vault;             // --vault's value, as given; empty when not given
    QString error;             // what is wrong with the line, for standard error
    QStringList others;        // arguments that are not ours
    QList<qsizetype> othersAt; // where each stands, from 1
};

// The arguments after the program's name. The first --help (or -h) or
// --version answers, whatever else the line holds.
Parsed parse(const QStringList& arguments);

// What is wrong with the arguments Qt left of the line `before` was parsed
// from (`left`, after the program's name): the first that is not ours,
// named by where it stands on the line, never by its text, which may be a
// password typed in the wrong place. Empty when every one is ours.
QString notOurs(const Parsed& before, const QStringList& left);

// The usage text that --help prints.
QString usage(const QString& program, const QString& productName);

} // namespace windowarguments

#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

class QWidget;

// The places where the program meets the desktop and a test wants to answer or
// watch: each is a small interface with one implementation in the product.

enum class BoxButtons { Ok, OkCancel, RetryCancel };
enum class BoxAnswer { Ok, Cancel, Retry, Closed };

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows a modal box without an icon over `parent` (may be null) and returns
    // the button the user chose; Closed when the box was closed otherwise.
    virtual BoxAnswer show(QWidget* parent, const QString& text, const QString& title,
                           BoxButtons buttons, BoxAnswer defaultButton) = 0;
};

class QtMessageBoxes : public MessageBoxes {
public:
    BoxAnswer show(QWidget* parent, const QString& text, const QString& title, BoxButtons buttons,
                   BoxAnswer defaultButton) override;
};

// Hands a location to the desktop, as "explorer " followed by the location
// does on Windows: a web address opens in the default browser, a folder or a
// file in the file manager, nothing at all the user's home folder. Returns at
// once; what the opener then does is not waited for.
class Shell {
public:
    virtual ~Shell() = default;
    virtual void openLocation(const QString& location) = 0;
};

class DesktopShell : public Shell {
public:
    void openLocation(const QString& location) override;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

// A date and time in the user's short date and long time forms, with the time
// left out when it is exactly midnight. The time zone is not shown.
QString formatDateTime(const QDateTime& when, const QLocale& locale = QLocale::system());

#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QUrl>

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
    // Opens a web address in the browser, or a folder in the file manager.
    virtual void openLocation(const QUrl& location) = 0;
    // Opens a web address in the default browser; a failure stays silent.
    virtual void openAddress(const QString& address) = 0;
};

class DesktopShell : public Shell {
public:
    void openLocation(const QUrl& location) override;
    void openAddress(const QString& address) override;
};

// The per-user settings store: text values by section and key under the
// program's name.
class Settings {
public:
    virtual ~Settings() = default;
    virtual QString read(const QString& section, const QString& key,
                         const QString& defaultValue) const = 0;
    virtual void write(const QString& section, const QString& key, const QString& value) = 0;
};

class QtSettingsStore : public Settings {
public:
    // `organisation` names the store's folder; the program passes its own name.
    QtSettingsStore(QString organisation, QString application);
    QString read(const QString& section, const QString& key,
                 const QString& defaultValue) const override;
    void write(const QString& section, const QString& key, const QString& value) override;

private:
    QString m_organisation;
    QString m_application;
};

// The running system's version as Windows reports it. Elsewhere there is no
// such record and the answer is "none".
struct WindowsVersion {
    int platformId = 0; // 1: the 95 family, 2: the NT family
    int major = 0;
    int minor = 0;
};

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // False when the version cannot be had.
    virtual bool windowsVersion(WindowsVersion& version) const = 0;
};

class RunningSystem : public SystemInfo {
public:
    bool windowsVersion(WindowsVersion& version) const override;
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

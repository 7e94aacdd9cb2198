#include "platform/Seams.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QOperatingSystemVersion>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>

BoxAnswer QtMessageBoxes::show(QWidget* parent, const QString& text, const QString& title,
                               BoxButtons buttons, BoxAnswer defaultButton) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    auto add = [&](QMessageBox::StandardButton b, BoxAnswer a) {
        QPushButton* button = box.addButton(b);
        if (a == defaultButton)
            box.setDefaultButton(button);
        return static_cast<QAbstractButton*>(button);
    };
    QAbstractButton* ok = nullptr;
    QAbstractButton* cancel = nullptr;
    QAbstractButton* retry = nullptr;
    switch (buttons) {
    case BoxButtons::Ok:
        ok = add(QMessageBox::Ok, BoxAnswer::Ok);
        break;
    case BoxButtons::OkCancel:
        ok = add(QMessageBox::Ok, BoxAnswer::Ok);
        cancel = add(QMessageBox::Cancel, BoxAnswer::Cancel);
        break;
    case BoxButtons::RetryCancel:
        retry = add(QMessageBox::Retry, BoxAnswer::Retry);
        cancel = add(QMessageBox::Cancel, BoxAnswer::Cancel);
        break;
    }
    box.exec();
    const QAbstractButton* chosen = box.clickedButton();
    if (chosen && chosen == ok)
        return BoxAnswer::Ok;
    if (chosen && chosen == retry)
        return BoxAnswer::Retry;
    if (chosen && chosen == cancel)
        return BoxAnswer::Cancel;
    return BoxAnswer::Closed;
}

QString formatDateTime(const QDateTime& when, const QLocale& locale) {
    const QString date = locale.toString(when.date(), QLocale::ShortFormat);
    // Midnight as the status line shows time: to the second. A save in the
    // first second of a day reads as that day alone, whatever its milliseconds.
    const QTime t = when.time();
    if (t.hour() == 0 && t.minute() == 0 && t.second() == 0)
        return date;
    // The long time form may name the time zone ("t"); the status line never did.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
    return date + QLatin1Char(' ') + locale.toString(when.time(), timeFormat.trimmed());
}

void DesktopShell::openLocation(const QUrl& location) {
#ifdef Q_OS_WIN
    QProcess::startDetached(QStringLiteral("explorer"),
                            {location.isLocalFile()
                                 ? QDir::toNativeSeparators(location.toLocalFile())
                                 : location.toString()});
#else
    // The desktop's opener runs detached; a machine without one just opens
    // nothing.
    QDesktopServices::openUrl(location);
#endif
}

void DesktopShell::openAddress(const QString& address) {
    const QUrl url(address);
    if (url.isValid() && !url.host().isEmpty())
        QDesktopServices::openUrl(url);
}

QtSettingsStore::QtSettingsStore(QString organisation, QString application)
    : m_organisation(std::move(organisation)), m_application(std::move(application)) {}

QString QtSettingsStore::read(const QString& section, const QString& key,
                              const QString& defaultValue) const {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, m_organisation, m_application);
    return store.value(section + QLatin1Char('/') + key, defaultValue).toString();
}

void QtSettingsStore::write(const QString& section, const QString& key, const QString& value) {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, m_organisation, m_application);
    store.setValue(section + QLatin1Char('/') + key, value);
}

bool RunningSystem::windowsVersion(WindowsVersion& version) const {
#ifdef Q_OS_WIN
    const QOperatingSystemVersion v = QOperatingSystemVersion::current();
    version.platformId = 2;
    version.major = v.majorVersion();
    version.minor = v.minorVersion();
    return true;
#else
    (void)version;
    return false;
#endif
}

#include "side/frmWebsite.h"

#include "side/modTarvel.h"
#include "startup/Program.h"

#include <QTimer>

frmWebsite::frmWebsite(Program& program) : Window(program) {
    setObjectName(QStringLiteral("frmWebsite"));
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(10000);
    m_timer1->setSingleShot(true);
    connect(m_timer1, &QTimer::timeout, this, &frmWebsite::Timer1_Timer);
}

QString frmWebsite::addressFor(const QString& website) {
    if (website.contains(QLatin1String("https://"), Qt::CaseInsensitive) ||
        website.contains(QLatin1String("http://"), Qt::CaseInsensitive))
        return website;
    return QStringLiteral("http://") + website;
}

void frmWebsite::Form_Load() {
    // The timer runs from the load, whatever the load finds.
    m_timer1->start();
    InitBranding(m_program);
    if (m_program.WebsiteTarget != QLatin1String("Website"))
        return;
    m_program.shell().openAddress(addressFor(m_program.BrandComments));
    m_program.WebsiteTarget.clear();
}

void frmWebsite::Timer1_Timer() {
    m_program.unload<frmWebsite>();
}

#include "appearance/SkinComponent.h"

#include <QFile>
#include <QWidget>

Skin::Skin(QObject* parent, const QString& resource) : QObject(parent) {
    setObjectName(QStringLiteral("skn"));
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    const QString text = QString::fromUtf8(file.readAll());
    const qsizetype rule = text.indexOf(QStringLiteral("\n---\n"));
    const QString header = rule < 0 ? text : text.left(rule);
    m_styleSheet = rule < 0 ? QString() : text.mid(rule + 5);
    static const char* const keys[4] = {"BackColor", "ForeColor", "PanelColor", "PanelTextColor"};
    for (const QString& line : header.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Name"))
            m_name = value;
        for (int i = 0; i < 4; ++i) {
            bool ok = false;
            const uint rgb = value.toUInt(&ok, 16);
            if (key == QLatin1String(keys[i]) && ok)
                m_colors[i] = colorNumber((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
        }
    }
}

quint32 Skin::colorNumber(int red, int green, int blue) {
    return static_cast<quint32>(red) | (static_cast<quint32>(green) << 8) |
           (static_cast<quint32>(blue) << 16);
}

void Skin::apply(QWidget* window) const {
    if (!window || m_styleSheet.isEmpty())
        return;
    QString sheet = m_styleSheet;
    sheet.replace(QStringLiteral("%WINDOW%"), window->objectName());
    window->setStyleSheet(sheet);
}

void Companion::Attach(QObject* extender) {
    m_attached = extender;
}

void Companion::Start() {
    m_running = true;
}

void Companion::Stop() {
    m_running = false;
    ++m_stops;
}

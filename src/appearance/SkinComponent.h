#pragma once

#include <QObject>
#include <QString>

class QWidget;

// The skin component: one skin, its four colours, and the drawing of a window
// it is applied to. The skin is the program's own green one, stored as a
// resource; any window looks the same without it, only plainer.
class Skin : public QObject {
    Q_OBJECT

public:
    // Loads the skin stored at `resource`; with none there the colours are
    // the neutral ones and applying draws nothing.
    explicit Skin(QObject* parent, const QString& resource = QStringLiteral(":/green.skin"));

    QString name() const { return m_name; }

    // Colours as 32-bit colour numbers: red in the low byte, blue in the third.
    quint32 backColor() const { return m_colors[0]; }
    quint32 foreColor() const { return m_colors[1]; }
    quint32 panelColor() const { return m_colors[2]; }
    quint32 panelTextColor() const { return m_colors[3]; }

    // Draws `window` with the skin from now on: its background, buttons,
    // boxes, bars and skin labels. The native frame stays.
    void apply(QWidget* window) const;

    // What the companion is attached to.
    QObject* extender() { return this; }

    static quint32 colorNumber(int red, int green, int blue);

private:
    QString m_name;
    quint32 m_colors[4] = {0xFFFFFF, 0, 0xEBEBEB, 0};
    QString m_styleSheet;
};

// Accompanies the skin for the whole run; the program calls it at start and
// at the end. It keeps track of what it was told, nothing more.
class Companion {
public:
    void Attach(QObject* extender);
    void Start();
    void Stop();

    QObject* attached() const { return m_attached; }
    bool running() const { return m_running; }
    int stops() const { return m_stops; }

private:
    QObject* m_attached = nullptr;
    bool m_running = false;
    int m_stops = 0;
};

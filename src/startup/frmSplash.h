#pragma once

#include "startup/Window.h"

#include <QWidget>

class QLabel;
class QTimer;
class Skin;

// The first window: shows the splash picture for a moment, starts the skin,
// then hands over to the main window and stays, hidden, as the source of the
// skin until the program ends.
class frmSplash : public QWidget, public Window {
    Q_OBJECT

public:
    explicit frmSplash(Program& program);

    QWidget* widget() override { return this; }
    void Form_Load() override;

    // One tick of the splash timer; the 75th hands over to the main window.
    void Timer2_Timer();

    short intTemp = 0;

    QTimer* timer() const { return m_timer2; }

private:
    QLabel* m_image1 = nullptr;
    Skin* m_skn = nullptr;
    QTimer* m_timer2 = nullptr;
};

#pragma once

#include "startup/Window.h"

#include <QWidget>

class QTimer;

// A window that is loaded but never shown: its load opens the pending
// website request in the default browser, and it unloads itself ten seconds
// later. While it is loaded a further request waits for its next load.
class frmWebsite : public QWidget, public Window {
    Q_OBJECT

public:
    explicit frmWebsite(Program& program);

    QWidget* widget() override { return this; }
    void Form_Load() override;
    void Timer1_Timer();

    QTimer* timer() const { return m_timer1; }

    // The address for the website text: "http://" in front unless it already
    // holds "http://" or "https://" anywhere, in any letter case.
    static QString addressFor(const QString& website);

private:
    QTimer* m_timer1 = nullptr;
};

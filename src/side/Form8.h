#pragma once

#include "startup/Window.h"

#include <QCheckBox>
#include <QWidget>

class QTextBrowser;

// "Show at Startup": clicking only ever checks or unchecks; the grayed state
// comes from a stored value alone.
class StartupCheckBox : public QCheckBox {
    Q_OBJECT

public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override;
};

// The help window: shows Help.rtf from the program folder, topmost while
// open, with the "Show at Startup" box that decides whether the main window
// opens it at every start.
class Form8 : public QWidget, public Window {
    Q_OBJECT

public:
    explicit Form8(Program& program);

    QWidget* widget() override { return this; }
    void Form_Load() override;
    void Check1_Click();

    // A window whose help file is missing never shows.
    void setVisible(bool visible) override;

    QString helpPath() const;
    bool hasText() const { return m_loaded; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QTextBrowser* m_rtf1 = nullptr;
    StartupCheckBox* m_check1 = nullptr;
    bool m_missing = false;
    bool m_loaded = false;
};

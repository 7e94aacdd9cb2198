#pragma once

#include "startup/Window.h"

#include <QWidget>

class QLineEdit;
class QPushButton;
class QTimer;
class SkinLabel;

// The master password dialog: creates the master password on first use and
// asks for it at every later start. Only its success shows the main window.
class frmPass : public QWidget, public Window {
    Q_OBJECT

public:
    explicit frmPass(Program& program);

    QWidget* widget() override { return this; }
    void Form_Load() override;
    void Form_Unload() override;

    void cmdOK_Click();
    void cmdCancel_Click();
    void Timer1_Timer();

    static QString firstUseMessage(const QString& productName);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void layoutForCreate();
    void layoutForVerify();
    void setOuterHeight(int twips);

    SkinLabel* m_label1 = nullptr;
    SkinLabel* m_label2 = nullptr;
    SkinLabel* m_label3 = nullptr;
    QPushButton* m_cmdOK = nullptr;
    QPushButton* m_cmdCancel = nullptr;
    QLineEdit* m_txtPass = nullptr;
    QLineEdit* m_txtPass2 = nullptr;
    QTimer* m_timer1 = nullptr;
};

#pragma once

#include "startup/Window.h"

#include <QWidget>

class QLineEdit;
class QPushButton;
class SkinLabel;

// The entry editor: adds a new entry or overwrites the one chosen with Edit,
// saves the vault at once and closes.
class frmAdd : public QWidget, public Window {
    Q_OBJECT

public:
    explicit frmAdd(Program& program);

    QWidget* widget() override { return this; }
    void Form_Load() override;

    void cmdAdd_Click(int index);
    void cmdDelete_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPushButton* m_cmdDelete = nullptr;
    QPushButton* m_cmdAdd = nullptr;
    QLineEdit* m_txtUsername = nullptr;
    QLineEdit* m_txtPassword = nullptr;
    QLineEdit* m_txtWebsite = nullptr;
};

#pragma once

#include "startup/Window.h"

#include <QWidget>

class QLabel;
class SkinLabel;

// The about box: product name, version, owner and website, from the
// version record, under a banner.
class frmAbout : public QWidget, public Window {
    Q_OBJECT

public:
    explicit frmAbout(Program& program);

    QWidget* widget() override { return this; }
    void Form_Load() override;

    // major.minor, without leading zeros.
    static QString versionText(int major, int minor);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    SkinLabel* m_label1 = nullptr;
    SkinLabel* m_lblVersion = nullptr;
    SkinLabel* m_lblCompany = nullptr;
    SkinLabel* m_lblWebsite = nullptr;
};

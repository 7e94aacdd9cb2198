#include "side/frmAbout.h"

#include "appearance/PictureBox.h"
#include "appearance/SkinLabel.h"
#include "appearance/modSkin.h"
#include "platform/Twips.h"
#include "startup/Program.h"

#include <QCloseEvent>

namespace {

QFont verdana(double points, bool bold) {
    QFont f(QStringLiteral("Verdana"));
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

template <class L> L* place(L* label, const QFont& font, int left, int top, int width, int height) {
    label->setFont(font);
    label->setGeometry(twRect(left, top, width, height));
    return label;
}

QLabel* plainLabel(const QString& name, const QString& caption, QWidget* parent) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(name);
    l->setTextFormat(Qt::PlainText);
    return l;
}

} // namespace

frmAbout::frmAbout(Program& program) : Window(program) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(verdana(8.25, false));

    auto* picture = new PictureBox(QStringLiteral("Picture1"), this);
    picture->setGeometry(twRect(0, 0, 7515, 1035));
    picture->setPixmap(QPixmap(QStringLiteral(":/banner.jpg")));

    const QFont big = verdana(12, true);
    m_label1 =
        place(new SkinLabel(QStringLiteral("Label1"), QStringLiteral("YourProgramName"), this),
              verdana(14.25, true), 120, 1200, 7095, 435);
    place(plainLabel(QStringLiteral("Label2"), QStringLiteral("Version:"), this), big, 180, 1680,
          2295, 315);
    m_lblVersion =
        place(new SkinLabel(QStringLiteral("lblVersion"), QStringLiteral("Version"), this), big,
              2580, 1680, 4635, 315);
    place(plainLabel(QStringLiteral("Label3"), QStringLiteral("Owned By:"), this), big, 180, 2100,
          2295, 315);
    m_lblCompany =
        place(new SkinLabel(QStringLiteral("lblCompany"), QStringLiteral("Version"), this), big,
              2580, 2100, 4635, 315);
    place(plainLabel(QStringLiteral("Label4"), QStringLiteral("Website:"), this), big, 180, 2520,
          2295, 315);
    m_lblWebsite =
        place(new SkinLabel(QStringLiteral("lblWebsite"), QStringLiteral("Version"), this), big,
              2580, 2520, 4635, 315);
    QLabel* rights =
        place(plainLabel(QStringLiteral("Label5"),
                         QStringLiteral("Keynook is the property of its owner. All rights "
                                        "reserved. Keep your vault file private and "
                                        "back it up."),
                         this),
              verdana(8.25, false), 120, 3300, 7215, 1275);
    rights->setWordWrap(true);
    QFont sans(QStringLiteral("MS Sans Serif"));
    sans.setPointSizeF(8.25);
    place(new SkinLabel(QStringLiteral("SkinLabel1_0"), QStringLiteral("Windowed Label"), this),
          sans, 480, 2940, 555, 195);

    setFixedSize(tw(7455), tw(2925));
    centreOnScreen(this);
}

QString frmAbout::versionText(int major, int minor) {
    return QString::number(major) + QLatin1Char('.') + QString::number(minor);
}

void frmAbout::Form_Load() {
    const VersionRecord& v = m_program.version();
    setWindowTitle(QStringLiteral("About ") + v.productName);
    m_label1->setText(v.productName);
    m_lblCompany->setText(v.companyName);
    m_lblVersion->setText(versionText(v.major, v.minor));
    m_lblWebsite->setText(v.comments);
    if (!m_program.UseSkin)
        return;
    // Every text on the box is drawn by the skin: each plain label gets a
    // skin label lying exactly over it.
    int next = 1;
    for (QLabel* plain : findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (controlTypeName(plain) != QLatin1String("Label"))
            continue;
        auto* copy = new SkinLabel(QStringLiteral("SkinLabel1_%1").arg(next++), QString(), this);
        copy->setGeometry(plain->geometry());
        copy->setFont(plain->font());
        copy->setText(plain->text());
        copy->setWordWrap(plain->wordWrap());
        copy->setVisible(plain->isVisibleTo(this));
    }
    SkinForm(m_program, this);
}

void frmAbout::closeEvent(QCloseEvent* event) {
    event->ignore();
    m_program.unloadWindow(this);
}

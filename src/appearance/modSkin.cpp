#include "appearance/modSkin.h"

#include "appearance/PictureBox.h"
#include "appearance/SkinComponent.h"
#include "appearance/SkinLabel.h"
#include "platform/Twips.h"
#include "startup/Program.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegion>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>

namespace {

QColor toColor(quint32 number) {
    return QColor(number & 0xFF, (number >> 8) & 0xFF, (number >> 16) & 0xFF);
}

void setRole(QWidget* w, QPalette::ColorRole role, quint32 color) {
    QPalette p = w->palette();
    p.setColor(role, toColor(color));
    w->setPalette(p);
}

} // namespace

QString controlTypeName(const QObject* control) {
    // Most specific kinds first: a skin label is a label, a list view a view.
    if (qobject_cast<const SkinLabel*>(control))
        return QStringLiteral("SkinLabel");
    if (qobject_cast<const PictureBox*>(control))
        return QStringLiteral("PictureBox");
    if (qobject_cast<const QLabel*>(control))
        return QStringLiteral("Label");
    if (qobject_cast<const QPushButton*>(control))
        return QStringLiteral("CommandButton");
    if (qobject_cast<const QCheckBox*>(control))
        return QStringLiteral("CheckBox");
    if (qobject_cast<const QLineEdit*>(control))
        return QStringLiteral("TextBox");
    if (qobject_cast<const QComboBox*>(control))
        return QStringLiteral("ComboBox");
    if (qobject_cast<const QTreeView*>(control))
        return QStringLiteral("ListView");
    if (qobject_cast<const QListView*>(control))
        return QStringLiteral("ListBox");
    if (qobject_cast<const QTextEdit*>(control))
        return QStringLiteral("RichTextBox");
    if (qobject_cast<const QStatusBar*>(control))
        return QStringLiteral("StatusBar");
    if (qobject_cast<const QTimer*>(control))
        return QStringLiteral("Timer");
    if (qobject_cast<const QMenu*>(control) || qobject_cast<const QMenuBar*>(control) ||
        qobject_cast<const QAction*>(control))
        return QStringLiteral("Menu");
    return QString::fromLatin1(control->metaObject()->className());
}

void ColorControls(QWidget* window, const quint32& back, const quint32& fore, const quint32& panel,
                   const quint32&) {
    static const QStringList boxes = {QStringLiteral("TextBox"),      QStringLiteral("ComboBox"),
                                      QStringLiteral("FileListBox"),  QStringLiteral("DirListBox"),
                                      QStringLiteral("DriveListBox"), QStringLiteral("ListBox"),
                                      QStringLiteral("ListView")};
    for (QObject* control : window->findChildren<QObject*>()) {
        auto* w = qobject_cast<QWidget*>(control);
        if (!w)
            continue;
        const QString type = controlTypeName(control);
        if (type == QLatin1String("CommandButton")) {
            setRole(w, QPalette::Button, back);
        } else if (boxes.contains(type)) {
            setRole(w, QPalette::Base, back);
            setRole(w, QPalette::Text, fore);
        } else if (type == QLatin1String("PictureBox")) {
            setRole(w, QPalette::Window, panel);
        }
    }
}

void ResetFormRegion(QWidget* window) {
    // The outer size in twips, taken as a count of pixels: a rectangle larger
    // than the window, which clips nothing. It starts at the frame's corner:
    // a mask counts from the client area's corner, and where the system draws
    // the frame, Qt moves the mask by the frame's size, so a rectangle from
    // the client corner would cut off the caption bar and the left border.
    const QRect outer = window->frameGeometry();
    const QPoint frameCorner = outer.topLeft() - window->geometry().topLeft();
    window->setMask(
        QRegion(QRect(frameCorner, QSize(toTwips(outer.width()), toTwips(outer.height())))));
}

bool IsVista(const Program& program) {
    WindowsVersion v;
    if (!program.system().windowsVersion(v))
        return false;
    return v.platformId == 2 && v.major >= 6;
}

void SkinForm(Program& program, QWidget* window) {
    const Skin* skin = program.SkinObject;
    if (!window || !skin)
        return;
    const quint32 back = skin->backColor();
    const quint32 fore = skin->foreColor();
    const quint32 panel = skin->panelColor();
    const quint32 panelText = skin->panelTextColor();
    ColorControls(window, back, fore, panel, panelText);
    if (IsVista(program) && program.UseSkin)
        ResetFormRegion(window);
    skin->apply(window);
}

void StartSkin(Program& program, QWidget* splash) {
    program.SkinObject = splash ? splash->findChild<Skin*>(QStringLiteral("skn")) : nullptr;
    SkinForm(program, splash);
    if (program.SkinObject) {
        program.companion().Attach(program.SkinObject->extender());
        program.companion().Start();
    }
}

void VistaSkinFix(Program& program) {
    if (IsVista(program))
        program.companion().Stop();
}

void StopSkin(Program& program) {
    program.companion().Stop();
}

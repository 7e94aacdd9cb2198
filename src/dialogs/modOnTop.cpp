#include "dialogs/modOnTop.h"

#include <QWidget>

void SetOnTop(QWidget* window, const short& onTop) {
    if (!window)
        return;
    const bool top = onTop == -1;
    if (window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == top)
        return;
    // Changing a window's flags hides it; show it again where it was.
    const bool wasVisible = window->isVisible();
    const QPoint pos = window->pos();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, top);
    if (wasVisible) {
        window->move(pos);
        window->show();
    }
}

#include "appearance/SkinLabel.h"

SkinLabel::SkinLabel(const QString& name, const QString& caption, QWidget* parent)
    : QLabel(caption, parent) {
    setObjectName(name);
    setTextFormat(Qt::PlainText);
}

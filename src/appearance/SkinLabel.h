#pragma once

#include <QLabel>

// A label that the skin draws. Until windows are skinned it is a plain label;
// the windows that carry one treat it as such.
class SkinLabel : public QLabel {
    Q_OBJECT

public:
    SkinLabel(const QString& name, const QString& caption, QWidget* parent);
};

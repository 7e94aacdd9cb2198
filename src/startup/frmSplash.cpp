#include "startup/frmSplash.h"

#include "appearance/SkinComponent.h"
#include "appearance/modSkin.h"
#include "platform/Twips.h"
#include "side/modTarvel.h"
#include "startup/Program.h"

#include <QLabel>
#include <QTimer>

namespace {
// The splash lasts 75 ticks. At this interval that is about 1.2 seconds on
// screen; the count of ticks, not a clock, decides.
constexpr int kTickMs = 16;
constexpr int kLastTick = 150; // the counter steps by 2
} // namespace

frmSplash::frmSplash(Program& program) : Window(program) {
    setObjectName(QStringLiteral("frmSplash"));
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint);
    m_image1 = new QLabel(this);
    m_image1->setObjectName(QStringLiteral("Image1"));
    m_image1->setPixmap(QPixmap(QStringLiteral(":/splash.jpg")));
    // The picture at its own size in the top left corner of the control, as
    // a picture control shows one without stretching.
    m_image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_image1->setGeometry(0, 0, tw(7170), tw(4770));
    m_skn = new Skin(this);
    m_timer2 = new QTimer(this);
    m_timer2->setObjectName(QStringLiteral("Timer2"));
    m_timer2->setInterval(kTickMs);
    connect(m_timer2, &QTimer::timeout, this, &frmSplash::Timer2_Timer);
}

void frmSplash::Form_Load() {
    setFixedSize(m_image1->size());
    InitBranding(m_program);
    if (m_program.UseSkin)
        StartSkin(m_program, this);
    centreOnScreen(this);
    m_timer2->start();
}

void frmSplash::Timer2_Timer() {
    intTemp = static_cast<short>(intTemp + 2);
    if (intTemp != kLastTick)
        return;
    m_timer2->stop();
    m_program.loadMainWindow();
    hide();
}

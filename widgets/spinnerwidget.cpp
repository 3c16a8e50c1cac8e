#include "widgets/spinnerwidget.h"

#include "platform/clock.h"

#include <QPaintEvent>
#include <QPainter>
#include <QTimerEvent>

#include <algorithm>

namespace {
constexpr int CapsuleCount = 12;
constexpr int StepDegrees = 360 / CapsuleCount;
} // namespace

SpinnerWidget::Geometry SpinnerWidget::geometryFor(const QRect &rect, bool hasPixmap)
{
    Geometry g;
    int s = std::min(rect.width(), rect.height());
    if (hasPixmap)
        s /= 2;
    // Truncation toward zero keeps an empty rectangle at radius 0.
    g.outerRadius = static_cast<int>((s - 1) * 0.5);
    g.innerRadius = static_cast<int>((s - 1) * 0.5 * 0.4);
    g.capsuleHeight = g.outerRadius - g.innerRadius;
    // Large spinners get slimmer capsules so they do not merge into a disc.
    g.capsuleWidth = static_cast<int>(g.capsuleHeight * (s <= 32 ? 0.35 : 0.23));
    g.capsuleRadius = g.capsuleWidth / 2;

    // Real-valued centre: an odd-sized widget is symmetric around the middle of
    // its middle pixel, which antialiasing renders evenly at any scale.
    const QRectF area(rect);
    if (hasPixmap)
        g.center = QPointF(area.right() - s / 2.0, area.bottom() - s / 2.0);
    else
        g.center = area.center();
    return g;
}

SpinnerWidget::SpinnerWidget(QWidget *parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
}

bool SpinnerWidget::isDisplayedWhenStopped() const
{
    return m_displayedWhenStopped;
}

void SpinnerWidget::setSpinnerSize(int size)
{
    m_size = size;
    updateGeometry();
}

QSize SpinnerWidget::sizeHint() const
{
    return QSize(m_size, m_size);
}

int SpinnerWidget::heightForWidth(int w) const
{
    return w;
}

void SpinnerWidget::startAnimation()
{
    m_angle = 0;
    if (m_timerId == -1)
        startTimerWithDelay();
    update();
}

void SpinnerWidget::stopAnimation()
{
    if (m_timerId != -1)
        killTimer(m_timerId);
    m_timerId = -1;
    update();
}

void SpinnerWidget::setAnimationDelay(int delay)
{
    const bool running = m_timerId != -1;
    if (running) {
        killTimer(m_timerId);
        m_timerId = -1;
    }
    m_delay = delay;
    if (running)
        startTimerWithDelay();
}

void SpinnerWidget::setDisplayedWhenStopped(bool state)
{
    m_displayedWhenStopped = state;
    update();
}

void SpinnerWidget::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void SpinnerWidget::startTimerWithDelay()
{
    // startTimer() answers 0 when it refuses (a negative delay); keep "no timer"
    // then, so that a later start can try again.
    const int id = startTimer(Clock::wait(m_delay));
    m_timerId = id == 0 ? -1 : id;
}

void SpinnerWidget::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timerId) {
        QLabel::timerEvent(event);
        return;
    }
    m_angle = (m_angle + StepDegrees) % 360;
    update();
}

void SpinnerWidget::paintEvent(QPaintEvent *event)
{
    if (!m_displayedWhenStopped && m_timerId == -1)
        return;

    const bool hasPixmap = !pixmap().isNull();
    if (hasPixmap)
        QLabel::paintEvent(event);

    const Geometry g = geometryFor(rect(), hasPixmap);
    if (g.capsuleHeight <= 0 || g.capsuleWidth <= 0)
        return;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF capsule(static_cast<int>(-g.capsuleWidth * 0.5),
                         -(g.innerRadius + g.capsuleHeight), g.capsuleWidth, g.capsuleHeight);
    for (int i = 0; i < CapsuleCount; ++i) {
        QColor color = m_color;
        color.setAlphaF(1.0 - i / static_cast<double>(CapsuleCount));
        painter.setBrush(color);
        painter.save();
        painter.translate(g.center);
        painter.rotate(m_angle - StepDegrees * i);
        painter.drawRoundedRect(capsule, g.capsuleRadius, g.capsuleRadius);
        painter.restore();
    }
}

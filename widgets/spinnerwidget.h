#pragma once

#include <QColor>
#include <QLabel>
#include <QPointF>

// The one busy indicator of the application: twelve rounded capsules around a
// centre, fading clockwise. With a pixmap set, the label shows the pixmap and the
// spinner turns in a quarter-sized square over its bottom-right corner.
class SpinnerWidget : public QLabel
{
    Q_OBJECT
    Q_PROPERTY(int delay READ animationDelay WRITE setAnimationDelay)
    Q_PROPERTY(bool displayedWhenStopped READ isDisplayedWhenStopped WRITE setDisplayedWhenStopped)
    Q_PROPERTY(QColor color READ color WRITE setColor)

public:
    // Where and how large the capsules are painted, in device-independent pixels.
    struct Geometry
    {
        int outerRadius = 0;
        int innerRadius = 0;
        int capsuleHeight = 0;
        int capsuleWidth = 0;
        int capsuleRadius = 0;
        QPointF center;
    };
    static Geometry geometryFor(const QRect &rect, bool hasPixmap);

    explicit SpinnerWidget(QWidget *parent = nullptr);

    int animationDelay() const { return m_delay; }
    QColor color() const { return m_color; }
    bool isAnimated() const { return m_timerId != -1; }
    int angle() const { return m_angle; }

    bool isDisplayedWhenStopped() const;
    void setSpinnerSize(int size);

    QSize sizeHint() const override;
    int heightForWidth(int w) const override;

public Q_SLOTS:
    void startAnimation();
    void stopAnimation();
    void setAnimationDelay(int delay);
    void setDisplayedWhenStopped(bool state);
    void setColor(const QColor &color);

protected:
    void timerEvent(QTimerEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void startTimerWithDelay();

    int m_size = 13;
    int m_angle = 0;
    int m_timerId = -1;
    int m_delay = 80;
    bool m_displayedWhenStopped = false;
    QColor m_color = Qt::black;
};

#include "gui/qt/qtled.h"

#include <QEvent>
#include <QPainter>
#include <QRadialGradient>

namespace vbc::platform {

QtLed::QtLed(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    UpdateAccessibleText();
}

void QtLed::SetLit(bool lit) {
    if (lit_ == lit) return;
    lit_ = lit;
    UpdateAccessibleText();
    update();
}

void QtLed::SetLabel(const QString& label) {
    if (label_ == label) return;
    label_ = label;
    UpdateAccessibleText();
    updateGeometry();
    update();
}

void QtLed::UpdateAccessibleText() {
    setAccessibleName(label_);
    setAccessibleDescription(lit_ ? QStringLiteral("lit") : QStringLiteral("off"));
}

int QtLed::LampDiameter() const {
    return qMax(10, fontMetrics().height());
}

QSize QtLed::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    const int d = LampDiameter();
    return {d + fm.averageCharWidth() + fm.horizontalAdvance(label_) + 2, qMax(d, fm.height()) + 4};
}

QSize QtLed::minimumSizeHint() const {
    const int d = LampDiameter();
    return {d + 2, d + 4};
}

void QtLed::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) updateGeometry();
    QWidget::changeEvent(event);
}

void QtLed::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int d = LampDiameter();
    const QRectF lamp(1.0, (height() - d) / 2.0, d, d);

    QColor base = lit_ ? QColor(40, 200, 60) : QColor(70, 74, 78);
    if (!isEnabled()) base = base.lighter(140);
    QRadialGradient glow(lamp.center() - QPointF(d / 6.0, d / 6.0), d / 1.6);
    glow.setColorAt(0.0, lit_ ? QColor(200, 255, 200) : base.lighter(150));
    glow.setColorAt(1.0, base);
    p.setPen(QPen(lit_ ? QColor(20, 110, 30) : QColor(40, 40, 40), 1.0));
    p.setBrush(glow);
    p.drawEllipse(lamp);

    const QRect text(d + fontMetrics().averageCharWidth() + 1, 0,
                     width() - d - fontMetrics().averageCharWidth() - 1, height());
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               fontMetrics().elidedText(label_, Qt::ElideRight, text.width()));
}

}  // namespace vbc::platform

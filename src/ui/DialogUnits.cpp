#include "ui/DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

#include <algorithm>

namespace sorbel::ui {

namespace {

int scaled(int units, int base, int divisor) {
    return (units * base + divisor / 2) / divisor;
}

} // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    charWidth_ = std::max(1, (alphabet / 26 + 1) / 2);
    charHeight_ = std::max(1, metrics.height());
}

int DialogUnits::x(int units) const {
    return scaled(units, charWidth_, 4);
}

int DialogUnits::y(int units) const {
    return scaled(units, charHeight_, 8);
}

QRect DialogUnits::rect(int left, int top, int width, int height) const {
    // Both edges are converted, so neighbouring controls keep their common edge.
    const int x0 = x(left);
    const int y0 = y(top);
    return QRect(x0, y0, x(left + width) - x0, y(top + height) - y0);
}

QSize DialogUnits::size(int width, int height) const {
    return QSize(x(width), y(height));
}

void placeText(QWidget* control, const QRect& area) {
    const QSize needed = control->sizeHint();
    control->setGeometry(area.x(), area.y(), std::max(area.width(), needed.width()),
                         std::max(area.height(), needed.height()));
}

} // namespace sorbel::ui

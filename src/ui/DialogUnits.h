// DialogUnits: turns a dialog template's units into pixels for a given font.
//
// A horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height; the average width is taken over the 52 letters of the Latin
// alphabet, as dialog templates were measured. Results are rounded to the nearest pixel.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace sorbel::ui {

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

    int charWidth() const { return charWidth_; }
    int charHeight() const { return charHeight_; }

private:
    int charWidth_;
    int charHeight_;
};

// Places a control that shows a text at its template rectangle, widened and heightened to
// what the text needs when the desktop's font runs wider than the template's.
void placeText(QWidget* control, const QRect& area);

} // namespace sorbel::ui

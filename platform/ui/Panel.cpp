#include "platform/ui/Panel.h"

#include <QPainter>
#include <qdrawutil.h>

TPanel::TPanel(QWidget* parent, int bevelWidth, int borderWidth)
    : QFrame(parent), bevel_(bevelWidth), border_(borderWidth) {
    const int inset = 2 * bevel_ + border_;
    setContentsMargins(inset, inset, inset, inset);
}

void TPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect outer = rect();
    qDrawShadeRect(&painter, outer, palette(), false, bevel_);
    const int inner = bevel_ + border_;
    qDrawShadeRect(&painter, outer.adjusted(inner, inner, -inner, -inner), palette(), true, bevel_);
}

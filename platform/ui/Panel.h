// TPanel: a plain panel with a raised outer bevel, a border and a lowered inner bevel; what it
// holds (through its layout) sits inside all three.
#pragma once

#include <QFrame>

class TPanel : public QFrame {
public:
    // Outer bevel, border and inner bevel widths in pixels.
    TPanel(QWidget* parent, int bevelWidth, int borderWidth);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int bevel_;
    int border_;
};

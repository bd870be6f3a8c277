#pragma once

#include <QWidget>

class QPainter;

// A surface that paints nothing of its own: paint hands a painter on it to the owner's
// handler, and the mouse is reported with the button, the buttons held and the position.
class TPaintBox : public QWidget
{
    Q_OBJECT

public:
    explicit TPaintBox(QWidget* parent = nullptr);

signals:
    void paint(QPainter& painter);
    void mouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, int x, int y);
    void mouseMove(Qt::MouseButtons buttons, int x, int y);
    void mouseUp(Qt::MouseButton button, Qt::MouseButtons buttons, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

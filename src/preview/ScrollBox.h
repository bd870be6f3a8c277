#pragma once

#include <QScrollArea>

// A scroll area that reports its resizes once its client area (the viewport) has taken
// the new size, and that can bring its scroll bars up to date at once.
class TScrollBox : public QScrollArea
{
    Q_OBJECT

public:
    explicit TScrollBox(QWidget* parent = nullptr);

    // Shows or hides the scroll bars for the content's current size now instead of on
    // the next turn of the event loop, so that the client area is final.
    void settleScrollBars();

signals:
    void resized();

protected:
    void resizeEvent(QResizeEvent* event) override;
};

#include "ScrollBox.h"

#include <QCoreApplication>

TScrollBox::TScrollBox(QWidget* parent)
    : QScrollArea(parent)
{}

void TScrollBox::settleScrollBars()
{
    // The scroll area decides on its bars in a queued call after a range change.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void TScrollBox::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    emit resized();
}

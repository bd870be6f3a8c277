#include "SpeedButton.h"

#include <QMouseEvent>

TSpeedButton::TSpeedButton(QWidget* parent)
    : QToolButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAutoRaise(false);
}

void TSpeedButton::setGroupIndex(int index)
{
    m_groupIndex = index;
    // Qt's checked state only draws the button sunken; the down state is ours.
    setCheckable(index != 0);
    if (index == 0)
        m_down = false;
    setChecked(m_down);
}

void TSpeedButton::setDown(bool down)
{
    if (m_groupIndex == 0 || down == m_down)
        return;
    if (!down && !m_allowAllUp)
        return;
    m_down = down;
    setChecked(down);
    if (down && parentWidget()) {
        for (TSpeedButton* other : parentWidget()->findChildren<TSpeedButton*>(Qt::FindDirectChildrenOnly)) {
            if (other != this && other->m_groupIndex == m_groupIndex && other->m_down) {
                other->m_down = false;
                other->setChecked(false);
            }
        }
    }
}

void TSpeedButton::mouseReleaseEvent(QMouseEvent* event)
{
    emit mouseUp(event->button(), event->modifiers(), event->position().toPoint());
    QToolButton::mouseReleaseEvent(event);
}

void TSpeedButton::nextCheckState()
{
    if (m_groupIndex == 0)
        return;
    if (m_down && m_allowAllUp)
        setDown(false);
    else if (!m_down)
        setDown(true);
}

#pragma once

#include <QToolButton>

// A tool-bar button that can stay down. Buttons of one parent with the same GroupIndex
// (not 0) are exclusive: putting one down puts the others up. With AllowAllUp a down
// button goes up when clicked again; without it, one button of the group is always down.
// With GroupIndex 0 it is a plain push button. Never takes the focus.
//
// A mouse release reports mouseUp first, then changes the down state, then reports
// clicked, so a handler of mouseUp still sees the state before the click.
class TSpeedButton : public QToolButton
{
    Q_OBJECT
    Q_PROPERTY(int GroupIndex READ GroupIndex WRITE setGroupIndex)
    Q_PROPERTY(bool AllowAllUp READ AllowAllUp WRITE setAllowAllUp)
    Q_PROPERTY(bool Down READ Down WRITE setDown)

public:
    explicit TSpeedButton(QWidget* parent = nullptr);

    int GroupIndex() const { return m_groupIndex; }
    void setGroupIndex(int index);
    bool AllowAllUp() const { return m_allowAllUp; }
    void setAllowAllUp(bool allow) { m_allowAllUp = allow; }
    bool Down() const { return m_down; }
    // Refused (the button stays down) when this is the down button of a group without
    // AllowAllUp; ignored for GroupIndex 0.
    void setDown(bool down);

signals:
    void mouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint position);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void nextCheckState() override;

private:
    int m_groupIndex = 0;
    bool m_allowAllUp = false;
    bool m_down = false;
};

#pragma once

#include <QCursor>

// The screen: its logical resolution, the application-wide cursor and the table of
// cursors registered by number. Main thread only.
class IScreen
{
public:
    virtual ~IScreen() = default;
    virtual int pixelsPerInch() const = 0;
    // A cursor the program registers under a number of its own; an unknown number is
    // the arrow.
    virtual void setCursor(int id, const QCursor& cursor) = 0;
    virtual QCursor cursor(int id) const = 0;
    // The busy cursor shows while at least one beginBusy is not yet ended.
    virtual void beginBusy() = 0;
    virtual void endBusy() = 0;
};

// Shows the busy cursor for the life of the object, however the scope is left.
class BusyCursor
{
public:
    explicit BusyCursor(IScreen& screen)
        : m_screen(&screen)
    {
        m_screen->beginBusy();
    }
    ~BusyCursor() { release(); }
    void release()
    {
        if (m_screen)
            m_screen->endBusy();
        m_screen = nullptr;
    }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    IScreen* m_screen;
};

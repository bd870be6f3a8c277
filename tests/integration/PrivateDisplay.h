#pragma once

#include <QString>
#include <QStringList>

class QElapsedTimer;

#include <sys/types.h>

// An X display of the test's own: Xvfb on a display number it picks itself (the first
// free one), with openbox managing its windows. Started before the test's QApplication,
// so it uses no Qt event machinery. Both servers die with the process that started them,
// even when that one crashes.
class PrivateDisplay
{
public:
    PrivateDisplay() = default;
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    // Why no private display can run here (Xvfb or openbox not installed); empty when it can.
    static QString missingPrerequisite();

    // Starts Xvfb and openbox and waits until the window manager manages windows. On failure
    // error() says why.
    bool start();
    void stop();
    // ":N"
    QString name() const { return m_name; }
    QString error() const { return m_error; }

    // Runs an X client of the display to its end and returns its standard output, trimmed.
    QString run(const QString& program, const QStringList& arguments) const;
    // The first window (decimal id) that `xdotool search` finds with these arguments,
    // waiting up to `ms` for it; empty when none appears.
    QString waitForWindow(const QStringList& search, int ms = 20000) const;
    // The active window's id (decimal); empty when none is.
    QString activeWindow() const;

    // Held while an X server of a test picks its display number (the first free one), until
    // it has taken it: servers of tests that run side by side, this one's and a Wayland
    // compositor's X server, then never go for the same number at the same moment.
    class NumberChoice
    {
    public:
        NumberChoice();
        ~NumberChoice();
        NumberChoice(const NumberChoice&) = delete;
        NumberChoice& operator=(const NumberChoice&) = delete;

    private:
        int m_fd = -1;
    };

private:
    bool windowManagerRuns(const QElapsedTimer& timer, int timeoutMs);

    pid_t m_server = -1;
    pid_t m_windowManager = -1;
    QString m_name;
    QString m_error;
};

#pragma once

#include <QString>

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

private:
    bool windowManagerRuns(const QElapsedTimer& timer, int timeoutMs);

    pid_t m_server = -1;
    pid_t m_windowManager = -1;
    QString m_name;
    QString m_error;
};

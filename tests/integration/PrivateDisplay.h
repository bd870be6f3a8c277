#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// An X display of the test's own: Xvfb on the first free display number from 90 on, with
// openbox managing its windows. Both die with the process that started them.
class PrivateDisplay
{
public:
    PrivateDisplay() = default;
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    // Why no private display can run here (Xvfb, openbox or xdotool missing); empty when it can.
    static QString missingPrerequisite();
    // Starts the server and the window manager and waits until both answer; error() says
    // why not.
    bool start();
    QString name() const { return m_name; } // ":91"
    QString error() const { return m_error; }

    // Runs an X client of the display to its end and returns its standard output, trimmed.
    QString run(const QString& program, const QStringList& arguments) const;
    // The first window (decimal id) that xdotool finds with these search arguments, waiting
    // up to `ms` for it; empty when none appears.
    QString waitForWindow(const QStringList& search, int ms = 20000) const;
    // The active window's id (decimal), empty when none.
    QString activeWindow() const { return run(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow")}); }

private:
    QProcess m_server;
    QProcess m_manager;
    QString m_name;
    QString m_error;
};

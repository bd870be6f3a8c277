#include "PrivateDisplay.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

#include <sys/prctl.h>

namespace {

void dieWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace

PrivateDisplay::~PrivateDisplay()
{
    for (QProcess* process : {&m_manager, &m_server}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

QString PrivateDisplay::missingPrerequisite()
{
    for (const char* program : {"Xvfb", "openbox", "xdotool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
    }
    return {};
}

bool PrivateDisplay::start()
{
    int number = 90;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)) ||
           QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
        ++number;
    m_name = QStringLiteral(":%1").arg(number);
    dieWithParent(m_server);
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral("Xvfb"),
                   {m_name, QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    const QDeadlineTimer deadline(20000);
    while (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))) {
        if (deadline.hasExpired() || m_server.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("Xvfb did not start on %1").arg(m_name);
            return false;
        }
        QThread::msleep(20);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_name);
    dieWithParent(m_manager);
    m_manager.setProcessEnvironment(environment);
    m_manager.start(QStringLiteral("openbox"), {});
    // A window manager announces itself on the root window.
    while (!run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                .contains(QLatin1String("window id"))) {
        if (deadline.hasExpired() || m_manager.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("openbox did not start on %1").arg(m_name);
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

QString PrivateDisplay::run(const QString& program, const QStringList& arguments) const
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_name);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString PrivateDisplay::waitForWindow(const QStringList& search, int ms) const
{
    const QDeadlineTimer deadline(ms);
    for (;;) {
        const QString found = run(QStringLiteral("xdotool"), QStringList{QStringLiteral("search")} + search)
                                  .section(QLatin1Char('\n'), 0, 0);
        if (!found.isEmpty() || deadline.hasExpired())
            return found;
        QThread::msleep(50);
    }
}

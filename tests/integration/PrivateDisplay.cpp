#include "PrivateDisplay.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString program(const char* name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

// Runs the program with the given arguments and DISPLAY; it ends when this process does.
pid_t spawn(const QString& path, const std::vector<QByteArray>& args, const QByteArray& display, int keepFd = -1)
{
    const QByteArray file = path.toLocal8Bit();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(file.constData()));
    for (const QByteArray& arg : args)
        argv.push_back(const_cast<char*>(arg.constData()));
    argv.push_back(nullptr);
    // Everything the child needs is made before the fork: it only calls what is safe there.
    std::vector<QByteArray> environment;
    for (char** variable = environ; *variable; ++variable) {
        if (display.isEmpty() || std::strncmp(*variable, "DISPLAY=", 8) != 0)
            environment.emplace_back(*variable);
    }
    if (!display.isEmpty())
        environment.push_back("DISPLAY=" + display);
    std::vector<char*> envp;
    for (QByteArray& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    // Quiet: their warnings are no test's business.
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keepFd)
            close(fd);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

void end(pid_t& pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        QThread::msleep(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

} // namespace

PrivateDisplay::~PrivateDisplay()
{
    stop();
}

QString PrivateDisplay::missingPrerequisite()
{
    if (program("Xvfb").isEmpty())
        return QStringLiteral("Xvfb is not installed (package xvfb)");
    if (program("openbox").isEmpty())
        return QStringLiteral("openbox is not installed (package openbox)");
    return {};
}

bool PrivateDisplay::start()
{
    const QString prerequisite = missingPrerequisite();
    if (!prerequisite.isEmpty()) {
        m_error = prerequisite;
        return false;
    }
    // Xvfb takes the first free display number and writes it to the pipe.
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        m_error = QStringLiteral("cannot create a pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    auto choosing = std::make_unique<NumberChoice>();
    // Without -noreset the server starts over whenever its last client leaves, which may
    // be while openbox is still connecting.
    m_server = spawn(
        program("Xvfb"),
        {"-displayfd", QByteArray::number(pipeFds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
        {}, pipeFds[1]);
    close(pipeFds[1]);
    QByteArray number;
    QElapsedTimer timer;
    timer.start();
    while (!number.endsWith('\n') && !timer.hasExpired(15000)) {
        pollfd readable{pipeFds[0], POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0)
            continue;
        char c = 0;
        if (read(pipeFds[0], &c, 1) != 1)
            break;
        number.append(c);
    }
    close(pipeFds[0]);
    choosing.reset();
    if (!number.endsWith('\n')) {
        m_error = QStringLiteral("Xvfb did not start a display within 15 s");
        stop();
        return false;
    }
    m_name = QStringLiteral(":") + QString::fromLatin1(number.trimmed());

    m_windowManager = spawn(program("openbox"), {"--sm-disable"}, m_name.toLocal8Bit());
    if (!windowManagerRuns(timer, 30000)) {
        stop();
        return false;
    }
    return true;
}

void PrivateDisplay::stop()
{
    end(m_windowManager);
    end(m_server);
    m_name.clear();
}

bool PrivateDisplay::windowManagerRuns(const QElapsedTimer& timer, int timeoutMs)
{
    // openbox announces itself before it has loaded its set-up; it is ready once it has
    // taken a window of ours under management (given it WM_STATE).
    xcb_connection_t* c = xcb_connect(m_name.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        m_error = QStringLiteral("cannot connect to display %1").arg(m_name);
        return false;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t probe = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    xcb_map_window(c, probe);
    const char name[] = "WM_STATE";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof(name) - 1, name), nullptr);
    bool managed = false;
    while (atom && !managed) {
        int status = 0;
        if (waitpid(m_windowManager, &status, WNOHANG) == m_windowManager) {
            m_windowManager = -1;
            m_error = QStringLiteral("openbox ended on display %1 (status %2)").arg(m_name).arg(status);
            break;
        }
        if (timer.hasExpired(timeoutMs)) {
            m_error = QStringLiteral("openbox did not manage display %1 within %2 s").arg(m_name).arg(timeoutMs / 1000);
            break;
        }
        QThread::msleep(20);
        xcb_get_property_reply_t* property =
            xcb_get_property_reply(c, xcb_get_property(c, 0, probe, atom->atom, atom->atom, 0, 1), nullptr);
        managed = property && xcb_get_property_value_length(property) > 0;
        std::free(property);
    }
    std::free(atom);
    xcb_destroy_window(c, probe);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
    return managed;
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

QString PrivateDisplay::activeWindow() const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow")});
}

PrivateDisplay::NumberChoice::NumberChoice()
    : m_fd(open("/tmp/.pagello-tests-display-number.lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666))
{
    // Where the lock cannot be had the servers still refuse a number another one holds; only
    // their rare collision is left to chance.
    if (m_fd < 0)
        return;
    while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

PrivateDisplay::NumberChoice::~NumberChoice()
{
    if (m_fd >= 0)
        close(m_fd);
}

#include "PrivateCups.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kCupsd = QStringLiteral("/usr/sbin/cupsd");
const QString kCupsPdfPpd = QStringLiteral("/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd");
// cups-pdf looks for the configuration of cups-pdf:/KEY in /etc/cups/cups-pdf-KEY.conf.
const QString kCupsPdfConfigDir = QStringLiteral("/etc/cups");
const QString kCupsPdfKeyPrefix = QStringLiteral("pagello-test-");

// Where the system keeps its filters, backends and helper programs.
QString systemServerBin()
{
    for (const QString& dir : {QStringLiteral("/usr/lib/cups"), QStringLiteral("/usr/libexec/cups")}) {
        if (QFileInfo::exists(dir + QStringLiteral("/daemon/cups-exec")))
            return dir;
    }
    return {};
}

QString tool(const QString& name)
{
    const QStringList dirs = {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin"),
                              QStringLiteral("/bin")};
    return QStandardPaths::findExecutable(name, dirs);
}

bool processGone(const QString& pid)
{
    return !pid.isEmpty() && !QFileInfo::exists(QStringLiteral("/proc/") + pid);
}

// What a test run that crashed left behind: its cups-pdf configurations and its directory
// (the scheduler itself died with it). Each names the process it belonged to.
void removeLeftovers()
{
    const QRegularExpression own(QStringLiteral("^cups-pdf-%1(\\d+)-\\d+\\.conf$").arg(kCupsPdfKeyPrefix));
    const QDir configs(kCupsPdfConfigDir);
    for (const QString& name : configs.entryList({QStringLiteral("cups-pdf-%1*.conf").arg(kCupsPdfKeyPrefix)})) {
        const auto match = own.match(name);
        if (match.hasMatch() && processGone(match.captured(1)))
            QFile::remove(configs.filePath(name));
    }
    const QDir temp(QDir::tempPath());
    for (const QString& name : temp.entryList({QStringLiteral("pagello-cups-*")}, QDir::Dirs)) {
        QFile owner(temp.filePath(name + QStringLiteral("/owner")));
        if (owner.open(QIODevice::ReadOnly) && processGone(QString::fromLatin1(owner.readAll().trimmed())))
            QDir(temp.filePath(name)).removeRecursively();
    }
}

} // namespace

PrivateCups::PrivateCups() = default;

PrivateCups::~PrivateCups()
{
    stop();
}

QString PrivateCups::missingPrerequisite()
{
    if (geteuid() != 0)
        return QStringLiteral("the private CUPS scheduler must run as root: it runs the test backend as root, as "
                              "a system scheduler does");
    if (!QFileInfo(kCupsd).isExecutable())
        return QStringLiteral("%1 is not installed (package cups-daemon)").arg(kCupsd);
    for (const char* program : {"lpadmin", "lpstat", "cupsaccept", "cupsreject"}) {
        if (tool(QString::fromLatin1(program)).isEmpty())
            return QStringLiteral("%1 is not installed (package cups-client)").arg(QString::fromLatin1(program));
    }
    if (systemServerBin().isEmpty())
        return QStringLiteral("the CUPS filters and backends (/usr/lib/cups) are not installed");
    return {};
}

bool PrivateCups::hasCupsPdf()
{
    return QFileInfo::exists(systemServerBin() + QStringLiteral("/backend/cups-pdf")) && QFileInfo::exists(kCupsPdfPpd);
}

QString PrivateCups::path(const QString& relative) const
{
    return m_root->filePath(relative);
}

QString PrivateCups::socketPath() const
{
    return path(QStringLiteral("cups.sock"));
}

bool PrivateCups::writeFile(const QString& relative, const QByteArray& contents)
{
    QFile file(path(relative));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size()) {
        m_error = QStringLiteral("cannot write %1").arg(file.fileName());
        return false;
    }
    return true;
}

bool PrivateCups::start()
{
    const QString prerequisite = missingPrerequisite();
    if (!prerequisite.isEmpty()) {
        m_error = prerequisite;
        return false;
    }
    removeLeftovers();

    m_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/pagello-cups-XXXXXX"));
    if (!m_root->isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory: ") + m_root->errorString();
        return false;
    }
    // Filters run as the scheduler's user (lp) and must reach the spool below.
    QFile::setPermissions(m_root->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                              QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    if (!writeFile(QStringLiteral("owner"), QByteArray::number(getpid())))
        return false;
    QDir root(m_root->path());
    for (const char* dir : {"etc", "bin/backend", "spool/tmp", "cache", "state", "log", "capture", "cups-pdf"})
        root.mkpath(QString::fromLatin1(dir));

    // The backend directory is our own; everything else the scheduler runs is the system's.
    const QString serverBin = systemServerBin();
    for (const char* dir : {"filter", "daemon", "cgi-bin", "monitor", "notifier", "driver"}) {
        const QString target = serverBin + QLatin1Char('/') + QString::fromLatin1(dir);
        if (QFileInfo::exists(target))
            QFile::link(target, path(QStringLiteral("bin/") + QString::fromLatin1(dir)));
    }
    // A backend the scheduler may only run as root has no permissions for others.
    const QString backend = path(QStringLiteral("bin/backend/pagello-capture"));
    if (!QFile::copy(QStringLiteral(PAGELLO_CAPTURE_BACKEND), backend) ||
        !QFile::setPermissions(backend, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        m_error = QStringLiteral("cannot install the capture backend %1").arg(backend);
        return false;
    }
    if (hasCupsPdf())
        QFile::link(serverBin + QStringLiteral("/backend/cups-pdf"), path(QStringLiteral("bin/backend/cups-pdf")));

    const QString files = QStringLiteral("ServerRoot %1/etc\n"
                                         "ServerBin %1/bin\n"
                                         "RequestRoot %1/spool\n"
                                         "TempDir %1/spool/tmp\n"
                                         "CacheDir %1/cache\n"
                                         "StateDir %1/state\n"
                                         "ServerKeychain %1/etc/ssl\n"
                                         "Printcap %1/printcap\n"
                                         "AccessLog %1/log/access_log\n"
                                         "ErrorLog %1/log/error_log\n"
                                         "PageLog %1/log/page_log\n"
                                         "SystemGroup root\n"
                                         "LogFileGroup root\n")
                              .arg(m_root->path());
    // The socket, and a port only when asked for one (on the loopback interface, where
    // CUPS takes the clients as local ones: their jobs need no sharing of the queues); no
    // authentication, no sharing, no browsing. A failing backend ends its job instead of
    // stopping the queue, so waiting for it ends too.
    const QString port = m_port ? QStringLiteral("Listen %1\n").arg(serverAddress()) : QString();
    const QString daemon = QStringLiteral("Listen %1\n"
                                          "LogLevel debug\n"
                                          "Browsing No\n"
                                          "BrowseLocalProtocols none\n"
                                          "DefaultShared No\n"
                                          "WebInterface No\n"
                                          "ErrorPolicy abort-job\n"
                                          "<Location />\n"
                                          "  Order allow,deny\n"
                                          "  Allow all\n"
                                          "</Location>\n"
                                          "<Policy default>\n"
                                          "  <Limit All>\n"
                                          "    Order deny,allow\n"
                                          "  </Limit>\n"
                                          "</Policy>\n")
                               .arg(socketPath()) +
                           port;
    if (!writeFile(QStringLiteral("etc/cups-files.conf"), files.toUtf8()) ||
        !writeFile(QStringLiteral("etc/cupsd.conf"), daemon.toUtf8()))
        return false;

    m_cupsd = std::make_unique<QProcess>();
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    m_cupsd->setProcessEnvironment(env);
    m_cupsd->setProcessChannelMode(QProcess::MergedChannels);
    m_cupsd->setStandardOutputFile(path(QStringLiteral("log/cupsd.out")));
    // When the test process dies without stopping it, the kernel ends the scheduler too.
    m_cupsd->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_cupsd->start(kCupsd, {QStringLiteral("-f"), QStringLiteral("-c"), path(QStringLiteral("etc/cupsd.conf")),
                            QStringLiteral("-s"), path(QStringLiteral("etc/cups-files.conf"))});
    if (!m_cupsd->waitForStarted(10000)) {
        m_error = QStringLiteral("cannot run %1: %2").arg(kCupsd, m_cupsd->errorString());
        m_cupsd.reset();
        return false;
    }

    QElapsedTimer timer;
    timer.start();
    while (!answers() || (m_port && !answersOnPort())) {
        if (m_cupsd->waitForFinished(50)) {
            // In the foreground cupsd reports a bad configuration only to syslog; its test
            // mode tells what is wrong.
            QProcess check;
            check.setProcessChannelMode(QProcess::MergedChannels);
            check.start(kCupsd, {QStringLiteral("-t"), QStringLiteral("-c"), path(QStringLiteral("etc/cupsd.conf")),
                                 QStringLiteral("-s"), path(QStringLiteral("etc/cups-files.conf"))});
            check.waitForFinished(10000);
            m_error = QStringLiteral("cupsd exited with status %1\n%2\n%3")
                          .arg(m_cupsd->exitCode())
                          .arg(QString::fromUtf8(check.readAll()), logTail());
            m_cupsd.reset();
            return false;
        }
        if (timer.hasExpired(15000)) {
            m_error = QStringLiteral("cupsd did not answer on %1 within 15 s\n%2").arg(socketPath(), logTail());
            return false;
        }
    }
    return true;
}

void PrivateCups::stop()
{
    if (m_cupsd) {
        m_cupsd->terminate();
        if (!m_cupsd->waitForFinished(10000)) {
            m_cupsd->kill();
            m_cupsd->waitForFinished(5000);
        }
        m_cupsd.reset();
    }
    for (const QString& config : std::as_const(m_cupsPdfConfigs))
        QFile::remove(config);
    m_cupsPdfConfigs.clear();
    m_root.reset();
}

bool PrivateCups::answers() const
{
    const QByteArray name = QFile::encodeName(socketPath());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= static_cast<int>(sizeof(address.sun_path)))
        return false;
    std::copy(name.begin(), name.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

quint16 PrivateCups::freeLoopbackPort()
{
    // The kernel picks a free port for a socket bound to port 0; it stays free for a while
    // once that socket is closed, as ports are handed out in turn.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool PrivateCups::answersOnPort() const
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_port);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

bool PrivateCups::run(const QString& program, const QStringList& args, QString* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool(program), QStringList{QStringLiteral("-h"), socketPath()} + args);
    const bool finished = process.waitForFinished(15000);
    const QString text = QString::fromUtf8(process.readAll());
    if (output)
        *output = text;
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 %2 failed: %3").arg(program, args.join(QLatin1Char(' ')), text);
        return false;
    }
    return true;
}

bool PrivateCups::addCaptureQueue(const QString& name, const QString& ppd, const QStringList& options)
{
    const QString dir = path(QStringLiteral("capture/") + name);
    QDir().mkpath(dir);
    QStringList args = {QStringLiteral("-p"), name, QStringLiteral("-E"), QStringLiteral("-v"),
                        QStringLiteral("pagello-capture:") + dir};
    if (!ppd.isEmpty())
        args << QStringLiteral("-P") << ppd;
    for (const QString& option : options)
        args << QStringLiteral("-o") << option;
    return run(QStringLiteral("lpadmin"), args);
}

QString PrivateCups::cupsPdfConfig(const QString& key) const
{
    return QStringLiteral("%1/cups-pdf-%2.conf").arg(kCupsPdfConfigDir, key);
}

bool PrivateCups::addCupsPdfQueue(const QString& name)
{
    const QString key = QStringLiteral("%1%2-%3").arg(kCupsPdfKeyPrefix).arg(getpid()).arg(m_cupsPdfConfigs.size());
    const QString out = path(QStringLiteral("cups-pdf/") + name);
    QDir().mkpath(out);
    QDir().mkpath(path(QStringLiteral("cups-pdf-spool")));
    const QString config = QStringLiteral("Out %1\n"
                                          "AnonDirName %1\n"
                                          "Spool %2\n"
                                          "Log %3\n"
                                          "Grp root\n")
                               .arg(out, path(QStringLiteral("cups-pdf-spool")), path(QStringLiteral("log")));
    QFile file(cupsPdfConfig(key));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(file.fileName());
        return false;
    }
    file.close();
    m_cupsPdfConfigs << file.fileName();
    return run(QStringLiteral("lpadmin"), {QStringLiteral("-p"), name, QStringLiteral("-E"), QStringLiteral("-v"),
                                           QStringLiteral("cups-pdf:/") + key, QStringLiteral("-P"), kCupsPdfPpd});
}

bool PrivateCups::removeQueue(const QString& name)
{
    return run(QStringLiteral("lpadmin"), {QStringLiteral("-x"), name});
}

bool PrivateCups::setAcceptingJobs(const QString& name, bool accepting)
{
    return run(accepting ? QStringLiteral("cupsaccept") : QStringLiteral("cupsreject"), {name});
}

bool PrivateCups::setDefault(const QString& name)
{
    return run(QStringLiteral("lpadmin"), {QStringLiteral("-d"), name});
}

std::vector<PrivateCups::CapturedJob> PrivateCups::capturedJobs(const QString& queue) const
{
    const auto read = [](const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    std::vector<CapturedJob> jobs;
    const QDir dir(path(QStringLiteral("capture/") + queue));
    const QRegularExpression document(QStringLiteral("^job-(\\d+)\\.pdf$"));
    for (const QString& name : dir.entryList({QStringLiteral("job-*.pdf")}, QDir::Files)) {
        const auto match = document.match(name);
        if (!match.hasMatch())
            continue;
        const QString stem = dir.filePath(QStringLiteral("job-") + match.captured(1));
        jobs.push_back(CapturedJob{match.captured(1).toInt(), read(stem + QStringLiteral(".title")),
                                   read(stem + QStringLiteral(".options")), stem + QStringLiteral(".pdf")});
    }
    std::sort(jobs.begin(), jobs.end(), [](const CapturedJob& a, const CapturedJob& b) { return a.id < b.id; });
    return jobs;
}

QStringList PrivateCups::cupsPdfOutputs(const QString& queue) const
{
    const QDir dir(path(QStringLiteral("cups-pdf/") + queue));
    QStringList files;
    for (const QString& name : dir.entryList({QStringLiteral("*.pdf")}, QDir::Files))
        files << dir.filePath(name);
    return files;
}

void PrivateCups::clearOutputs()
{
    for (const char* kind : {"capture", "cups-pdf"}) {
        const QDir queues(path(QString::fromLatin1(kind)));
        for (const QString& queue : queues.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QDir dir(queues.filePath(queue));
            for (const QString& name : dir.entryList(QDir::Files))
                dir.remove(name);
        }
    }
}

bool PrivateCups::waitUntilIdle(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QString pending;
        if (run(QStringLiteral("lpstat"), {QStringLiteral("-o")}, &pending) && pending.trimmed().isEmpty())
            return true;
        if (timer.hasExpired(timeoutMs)) {
            m_error = QStringLiteral("jobs still pending after %1 ms:\n%2\n%3").arg(timeoutMs).arg(pending, logTail());
            return false;
        }
        QThread::msleep(100);
    }
}

int PrivateCups::jobCount()
{
    QString jobs;
    if (!run(QStringLiteral("lpstat"), {QStringLiteral("-W"), QStringLiteral("all"), QStringLiteral("-o")}, &jobs))
        return -1;
    return static_cast<int>(jobs.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size());
}

QString PrivateCups::logTail(int lines) const
{
    if (!m_root)
        return {};
    QFile log(path(QStringLiteral("log/error_log")));
    if (!log.open(QIODevice::ReadOnly))
        return QStringLiteral("(no error log)");
    const QStringList all = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return all.mid(std::max<qsizetype>(0, all.size() - lines)).join(QLatin1Char('\n'));
}

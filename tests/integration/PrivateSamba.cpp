#include "PrivateSamba.h"

#include "PrivateCups.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>
#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kShare = QStringLiteral("TISK");

QString tool(const QString& name)
{
    const QStringList dirs = {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin"),
                              QStringLiteral("/bin")};
    return QStandardPaths::findExecutable(name, dirs);
}

// The example share with the test's directory and the test's user in place of the
// office's; every other line as a user would install it.
QByteArray exampleShare(const QString& directory, const QByteArray& user, const QByteArray& group)
{
    QFile file(QStringLiteral(PAGELLO_SAMBA_EXAMPLE));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray conf;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QByteArray key = line.trimmed().split('=').first().trimmed();
        if (key == "path")
            conf += "   path = " + QFile::encodeName(directory) + "\n";
        else if (key == "force user")
            conf += "   force user = " + user + "\n";
        else if (key == "force group")
            conf += "   force group = " + group + "\n";
        else
            conf += line + "\n";
    }
    return conf;
}

} // namespace

PrivateSamba::PrivateSamba() = default;

PrivateSamba::~PrivateSamba()
{
    stop();
}

QString PrivateSamba::missingPrerequisite()
{
    if (geteuid() != 0)
        return QStringLiteral("the private Samba server must run as root, as a system one does");
    for (const char* program : {"smbd", "smbclient"}) {
        if (tool(QString::fromLatin1(program)).isEmpty())
            return QStringLiteral("%1 is not installed (packages samba, smbclient)").arg(QString::fromLatin1(program));
    }
    return {};
}

bool PrivateSamba::start(const QString& sharedDirectory)
{
    const QString prerequisite = missingPrerequisite();
    if (!prerequisite.isEmpty()) {
        m_error = prerequisite;
        return false;
    }
    m_port = PrivateCups::freeLoopbackPort();
    if (m_port == 0) {
        m_error = QStringLiteral("no free port on the loopback interface");
        return false;
    }
    m_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/pagello-samba-XXXXXX"));
    if (!m_root->isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory: ") + m_root->errorString();
        return false;
    }
    QDir root(m_root->path());
    for (const char* dir : {"lock", "state", "cache", "pid", "private", "ncalrpc", "log"})
        root.mkpath(QString::fromLatin1(dir));

    // The example's [global] and [TISK], then the test's own [global]: a private server
    // on one port of the loopback interface, nothing kept in the system's directories.
    const QString own = QStringLiteral("\n[global]\n"
                                       "   smb ports = %2\n"
                                       "   interfaces = 127.0.0.1\n"
                                       "   bind interfaces only = yes\n"
                                       "   disable netbios = yes\n"
                                       "   lock directory = %1/lock\n"
                                       "   state directory = %1/state\n"
                                       "   cache directory = %1/cache\n"
                                       "   pid directory = %1/pid\n"
                                       "   private dir = %1/private\n"
                                       "   ncalrpc dir = %1/ncalrpc\n"
                                       "   log file = %1/log/log.%m\n"
                                       "   passdb backend = tdbsam:%1/private/passdb.tdb\n"
                                       "   guest account = nobody\n")
                            .arg(m_root->path())
                            .arg(m_port);
    const QByteArray share = exampleShare(sharedDirectory, "root", "root");
    QFile conf(root.filePath(QStringLiteral("smb.conf")));
    if (share.isEmpty() || !conf.open(QIODevice::WriteOnly) || conf.write(share + own.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1 from %2").arg(conf.fileName(), QStringLiteral(PAGELLO_SAMBA_EXAMPLE));
        return false;
    }
    conf.close();

    m_smbd = std::make_unique<QProcess>();
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    m_smbd->setProcessEnvironment(env);
    m_smbd->setProcessChannelMode(QProcess::MergedChannels);
    m_smbd->setStandardOutputFile(root.filePath(QStringLiteral("log/smbd.out")));
    // smbd makes a process group of its own, which stop() ends with all its children.
    m_smbd->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_smbd->start(tool(QStringLiteral("smbd")), {QStringLiteral("--foreground"), QStringLiteral("--debug-stdout"),
                                                 QStringLiteral("--configfile"), conf.fileName()});
    if (!m_smbd->waitForStarted(10000)) {
        m_error = QStringLiteral("cannot run smbd: %1").arg(m_smbd->errorString());
        m_smbd.reset();
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (!answers()) {
        if (m_smbd->waitForFinished(50)) {
            m_error = QStringLiteral("smbd exited with status %1\n%2").arg(m_smbd->exitCode()).arg(logTail());
            m_smbd.reset();
            return false;
        }
        if (timer.hasExpired(15000)) {
            m_error = QStringLiteral("smbd did not answer on port %1 within 15 s\n%2").arg(m_port).arg(logTail());
            stop();
            return false;
        }
    }
    return true;
}

void PrivateSamba::stop()
{
    if (m_smbd) {
        const pid_t group = static_cast<pid_t>(m_smbd->processId());
        if (group > 0)
            ::kill(-group, SIGTERM);
        m_smbd->terminate();
        if (!m_smbd->waitForFinished(10000)) {
            if (group > 0)
                ::kill(-group, SIGKILL);
            m_smbd->kill();
            m_smbd->waitForFinished(5000);
        }
        m_smbd.reset();
    }
    m_root.reset();
}

bool PrivateSamba::answers() const
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

QStringList PrivateSamba::clientArguments(const QString& dialect) const
{
    return {QStringLiteral("//127.0.0.1/") + kShare, QStringLiteral("--port=%1").arg(m_port),
            QStringLiteral("--no-pass"), QStringLiteral("--option=client min protocol=NT1"),
            QStringLiteral("--option=client max protocol=") + dialect};
}

bool PrivateSamba::client(const QString& commands, const QString& dialect)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool(QStringLiteral("smbclient")), clientArguments(dialect)
                                                         << QStringLiteral("--command") << commands);
    const bool finished = process.waitForFinished(30000);
    const QString output = QString::fromUtf8(process.readAll());
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0 ||
        output.contains(QLatin1String("NT_STATUS_"))) {
        m_error = QStringLiteral("smbclient %1 failed: %2").arg(commands, output);
        return false;
    }
    return true;
}

void PrivateSamba::startWriter(QProcess& process, const QString& name, const QString& dialect) const
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(tool(QStringLiteral("smbclient")),
                  clientArguments(dialect) << QStringLiteral("--command") << QStringLiteral("put /dev/stdin ") + name);
}

QString PrivateSamba::logTail(int lines) const
{
    if (!m_root)
        return {};
    QFile log(m_root->filePath(QStringLiteral("log/smbd.out")));
    if (!log.open(QIODevice::ReadOnly))
        return QStringLiteral("(no log)");
    const QStringList all = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return all.mid(std::max<qsizetype>(0, all.size() - lines)).join(QLatin1Char('\n'));
}

#include "TestSupport.h"

#include <QFile>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <sys/resource.h>

DeviceMetrics laser600(int pageHeight, int offset)
{
    return DeviceMetrics{600, 600, 4960, pageHeight, offset, offset};
}

QString testDataPath(const QString& name)
{
    return QStringLiteral(PAGELLO_TEST_DATA) + QLatin1Char('/') + name;
}

std::string readBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = f.readAll();
    return std::string(data.constData(), static_cast<std::size_t>(data.size()));
}

DiskFull::DiskFull(long long bytes)
{
    struct rlimit limit
    {
    };
    ::getrlimit(RLIMIT_FSIZE, &limit);
    m_limit = static_cast<long long>(limit.rlim_cur);
    m_handler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

DiskFull::~DiskFull()
{
    struct rlimit limit
    {
    };
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(m_limit);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, m_handler);
}

CapturedStderr::CapturedStderr()
{
    std::fflush(stderr);
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_saved = ::dup(STDERR_FILENO);
    ::dup2(ends[1], STDERR_FILENO);
    ::close(ends[1]);
    m_pipe = ends[0];
}

CapturedStderr::~CapturedStderr()
{
    std::fflush(stderr);
    if (m_saved >= 0) {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
    if (m_pipe >= 0)
        ::close(m_pipe);
}

std::string CapturedStderr::text()
{
    std::fflush(stderr);
    char buffer[4096];
    ssize_t got = 0;
    while (m_pipe >= 0 && (got = ::read(m_pipe, buffer, sizeof buffer)) > 0)
        m_text.append(buffer, std::size_t(got));
    return m_text;
}

#include "TestSupport.h"

#include <QFile>

#include <csignal>

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

#include "TestSupport.h"

#include <QFile>

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

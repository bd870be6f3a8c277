#include "platform/Errors.h"
#include "platform/linux/RegistryFile.h"

#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

// The registry file is outside input: whatever it holds, reading the spooler's values
// must give a value or a registry error, and a value written must read back as written,
// with the rest of the file kept.

namespace {

const QString kKey = QStringLiteral("\\SOFTWARE\\Morvane\\Pagello");

QString scratchFile()
{
    static const QString dir = QDir::tempPath() + QStringLiteral("/pagello-fuzz-registry-%1").arg(::getpid());
    QDir().mkpath(dir);
    return dir + QStringLiteral("/system.reg");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString path = scratchFile();
    QFile::remove(path + QStringLiteral(".damaged"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    RegistryFile registry(path);
    try {
        if (!registry.openKey(kKey, true))
            return 0;
        for (const char* name : {"AutoStart", "PrinterIndex", "PagesSpool"}) {
            const QString value = QString::fromLatin1(name);
            try {
                if (registry.valueExists(value))
                    (void)registry.readInteger(value);
            } catch (const ERegistryError&) {
            }
        }
        registry.writeInteger(QStringLiteral("PagesSpool"), -7);
    } catch (const ERegistryError&) {
        return 0;
    }
    RegistryFile again(path);
    if (!again.openKey(kKey, false) || again.readInteger(QStringLiteral("PagesSpool")) != -7)
        std::abort();
    return 0;
}

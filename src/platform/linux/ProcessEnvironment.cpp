#include "LinuxFiles.h"

#include <QDir>
#include <QFileInfo>

ProcessEnvironment::ProcessEnvironment()
    : m_startupDirectory(QDir::currentPath())
{
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    QString program = exe.canonicalFilePath();
    // A program file deleted or replaced since start no longer resolves; its link still
    // names the directory (as "<path> (deleted)").
    if (program.isEmpty())
        program = exe.symLinkTarget();
    m_programDirectory = QFileInfo(program).absolutePath();
}

QString ProcessEnvironment::environmentVariable(const QString& name) const
{
    return qEnvironmentVariable(name.toLocal8Bit().constData());
}

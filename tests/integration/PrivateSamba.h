#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A Samba server of the test's own: `smbd --foreground` serving the example share of
// packaging/samba/smb.conf, its path set to a directory the test gives and its files
// belonging to the test's user, listening only on 127.0.0.1 on a free port, with its
// state, locks, caches and logs in a temporary directory. The machine's Samba set-up is
// neither read nor changed. smbclient reaches the share as a PC of the office would.
//
// The server and its children die with the process that started them.
class PrivateSamba
{
public:
    PrivateSamba();
    ~PrivateSamba();
    PrivateSamba(const PrivateSamba&) = delete;
    PrivateSamba& operator=(const PrivateSamba&) = delete;

    // Why no private Samba server can run here (not root, smbd or smbclient missing);
    // empty when it can.
    static QString missingPrerequisite();

    // Starts smbd on the directory and waits until it answers. On failure error() says why.
    bool start(const QString& sharedDirectory);
    void stop();
    QString error() const { return m_error; }
    quint16 port() const { return m_port; }

    // The arguments that make smbclient a client of the share, as a guest; `dialect`
    // (NT1 for the old Windows PCs, SMB3) chooses what it speaks.
    QStringList clientArguments(const QString& dialect = QStringLiteral("SMB3")) const;
    // Runs smbclient's commands ("put FILE NAME; ...") on the share.
    bool client(const QString& commands, const QString& dialect = QStringLiteral("SMB3"));
    // Starts smbclient putting what the process is given on its standard input into the
    // share as `name`: the file stays open on the server until the input is closed.
    void startWriter(QProcess& process, const QString& name, const QString& dialect = QStringLiteral("SMB3")) const;

    // The last lines of the server's log, for failure messages.
    QString logTail(int lines = 30) const;

private:
    bool answers() const;

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QProcess> m_smbd;
    quint16 m_port = 0;
    QString m_error;
};

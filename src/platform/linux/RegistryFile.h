#pragma once

#include "../IRegistry.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <utility>
#include <vector>

// The machine-wide registry kept as a REGEDIT4 text file (default /var/lib/pagello/system.reg,
// PAGELLO_REGISTRY overrides). Owns the file's lines as read; openKey re-reads the file,
// writeInteger rewrites it atomically changing only the lines of the value written, so other
// keys, values of other types and comments stay byte for byte. A file that cannot be read is
// reported once, then treated as empty and kept as "<path>.damaged" when first replaced (a
// later one as "<path>.damaged.1", ".2", ...: no kept copy is overwritten).
// Main thread only.
class RegistryFile : public IRegistry
{
public:
    explicit RegistryFile(QString path);

    // PAGELLO_REGISTRY when set and non-empty, else /var/lib/pagello/system.reg.
    static QString defaultPath();
    QString path() const { return m_path; }

    bool openKey(const QString& key, bool canCreate) override;
    void closeKey() override;
    bool valueExists(const QString& name) const override;
    int readInteger(const QString& name) const override;
    void writeInteger(const QString& name, int value) override;

private:
    struct Value
    {
        QString name; // as first written
        bool isDword = false;
        quint32 dword = 0;
        std::vector<std::pair<qsizetype, qsizetype>> lines; // (first, count) of each occurrence
    };
    struct Scan
    {
        QString error; // why the lines are not a registry file
        bool hasHeader = false;
        bool keyExists = false;  // the key or one of its subkeys has a section
        qsizetype appendAt = -1; // after the last line of the key's own section, -1 without one
        QHash<QString, Value> values;
    };

    static Scan scan(const std::vector<QByteArray>& lines, const QString& key);
    void load();
    void damaged(const QString& reason);
    void save(const std::vector<QByteArray>& lines, const QString& name);

    QString m_path;
    std::vector<QByteArray> m_lines; // without line ends; empty for a missing or damaged file
    bool m_damaged = false;          // reported once; the file is kept aside before the next write
    bool m_open = false;
    QString m_key;                  // "HKEY_LOCAL_MACHINE\..." as the caller spelled it
    QHash<QString, Value> m_values; // the open key's values by case-folded name
};

#pragma once

#include "../IRegistry.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

// The machine-wide registry kept as a REGEDIT4 text file (default /var/lib/pagello/system.reg,
// PAGELLO_REGISTRY overrides). Owns the file's lines as read; openKey re-reads the file,
// writeInteger and writeString rewrite it atomically changing only the lines of the value written, so other
// keys, values of other types and comments stay byte for byte. A write that fails (a full
// disk, say) leaves the file as it was and says why on standard error. A file that cannot be
// read is reported once, then treated as empty and kept as "<path>.damaged" when first
// replaced (a later one as "<path>.damaged.1", ".2", ...: no kept copy is overwritten).
//
// A user who may not write the machine-wide file keeps their own (see locate): it is read
// first, and a value it does not hold is read from the machine-wide file, which is never
// written then. Main thread only.
class RegistryFile : public IRegistry
{
public:
    // With `defaults`, the file whose values stand where the file at `path` has none.
    explicit RegistryFile(QString path, const QString& defaults = QString());
    ~RegistryFile() override;

    static constexpr char kMachinePath[] = "/var/lib/pagello/system.reg";
    struct Location
    {
        QString path;
        QString defaults; // empty: none
    };
    // Where the settings are kept: the file PAGELLO_REGISTRY names; else the machine-wide
    // file when this user may write it (or make it); else the user's own file
    // $XDG_DATA_HOME/pagello/system.reg (~/.local/share/... by default), with the
    // machine-wide file for defaults.
    static Location locate(const QString& machinePath = QString::fromLatin1(kMachinePath));
    explicit RegistryFile(const Location& where)
        : RegistryFile(where.path, where.defaults)
    {}
    QString path() const { return m_path; }

    bool openKey(const QString& key, bool canCreate) override;
    void closeKey() override;
    bool valueExists(const QString& name) const override;
    int readInteger(const QString& name) const override;
    void writeInteger(const QString& name, int value) override;
    QString readString(const QString& name) const override;
    void writeString(const QString& name, const QString& value) override;

private:
    struct Value
    {
        QString name; // as first written
        bool isDword = false;
        quint32 dword = 0;
        bool isString = false;
        QString string;
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
    // Stores `data` (what follows the '=') as the value `name` of the open key.
    void writeValue(const QString& name, const QByteArray& data);
    void save(const std::vector<QByteArray>& lines, const QString& name);
    // Adds the values of the defaults' key that the open key lacks.
    void mergeDefaults();

    QString m_path;
    std::vector<QByteArray> m_lines; // without line ends; empty for a missing or damaged file
    bool m_damaged = false;          // reported once; the file is kept aside before the next write
    bool m_open = false;
    QString m_key;                  // "HKEY_LOCAL_MACHINE\..." as the caller spelled it
    QHash<QString, Value> m_values; // the open key's values by case-folded name
    std::unique_ptr<RegistryFile> m_defaults;
};

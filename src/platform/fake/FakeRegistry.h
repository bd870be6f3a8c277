#pragma once

#include "../IRegistry.h"

#include <QString>

#include <map>
#include <optional>
#include <variant>
#include <vector>

// An in-memory registry for tests: keys and values a test sets up, a log of every call in order,
// and failures on demand. Names compare case-insensitively and raise the real registry's
// messages. No file access. Main thread only.
class FakeRegistry : public IRegistry
{
public:
    // Keys as openKey takes them ("\SOFTWARE\Morvane\Pagello"); setting a value creates the key.
    void setInteger(const QString& key, const QString& name, int value);
    // A string value (REG_SZ).
    void setString(const QString& key, const QString& name, const QString& value);
    // The DWORD, or nothing when missing or of another type.
    std::optional<int> integer(const QString& key, const QString& name) const;
    // The string, or nothing when missing or of another type.
    std::optional<QString> string(const QString& key, const QString& name) const;
    // Whether the key or one of its subkeys exists.
    bool hasKey(const QString& key) const;
    // writeInteger and writeString then raise "Failed to set data for '%s'"; openKey returns false.
    void failWrites(bool fail) { m_failWrites = fail; }
    void failOpen(bool fail) { m_failOpen = fail; }
    // "open <key>", "close", "exists <name>", "read <name>", "write <name>=<value>" (a string
    // in double quotes).
    const std::vector<QString>& calls() const { return m_calls; }

    bool openKey(const QString& key, bool canCreate) override;
    void closeKey() override;
    bool valueExists(const QString& name) const override;
    int readInteger(const QString& name) const override;
    void writeInteger(const QString& name, int value) override;
    QString readString(const QString& name) const override;
    void writeString(const QString& name, const QString& value) override;

private:
    using Value = std::variant<int, QString>;
    using Key = std::map<QString, Value>; // by case-folded name

    const Value* find(const QString& key, const QString& name) const;

    std::map<QString, Key> m_keys; // by case-folded path without the leading backslash
    std::optional<QString> m_open;
    bool m_failWrites = false;
    bool m_failOpen = false;
    mutable std::vector<QString> m_calls;
};

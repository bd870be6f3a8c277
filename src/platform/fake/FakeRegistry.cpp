#include "FakeRegistry.h"

#include "../Errors.h"

namespace {

QString keyId(const QString& key)
{
    QString id = key.toCaseFolded();
    while (id.startsWith(QLatin1Char('\\')))
        id.remove(0, 1);
    while (id.endsWith(QLatin1Char('\\')))
        id.chop(1);
    return id;
}

} // namespace

void FakeRegistry::setInteger(const QString& key, const QString& name, int value)
{
    m_keys[keyId(key)][name.toCaseFolded()] = value;
}

void FakeRegistry::setString(const QString& key, const QString& name, const QString& value)
{
    m_keys[keyId(key)][name.toCaseFolded()] = value;
}

const FakeRegistry::Value* FakeRegistry::find(const QString& id, const QString& name) const
{
    const auto key = m_keys.find(id);
    if (key == m_keys.end())
        return nullptr;
    const auto value = key->second.find(name.toCaseFolded());
    return value == key->second.end() ? nullptr : &value->second;
}

std::optional<int> FakeRegistry::integer(const QString& key, const QString& name) const
{
    const Value* value = find(keyId(key), name);
    if (value == nullptr || !std::holds_alternative<int>(*value))
        return std::nullopt;
    return std::get<int>(*value);
}

std::optional<QString> FakeRegistry::string(const QString& key, const QString& name) const
{
    const Value* value = find(keyId(key), name);
    if (value == nullptr || !std::holds_alternative<QString>(*value))
        return std::nullopt;
    return std::get<QString>(*value);
}

bool FakeRegistry::hasKey(const QString& key) const
{
    const QString id = keyId(key);
    // Like the real one, a key exists while any of its subkeys does.
    for (const auto& entry : m_keys) {
        if (entry.first == id || id.isEmpty() || entry.first.startsWith(id + QLatin1Char('\\')))
            return true;
    }
    return false;
}

bool FakeRegistry::openKey(const QString& key, bool canCreate)
{
    m_calls.push_back(QStringLiteral("open ") + key);
    m_open.reset();
    if (m_failOpen || (!hasKey(key) && !canCreate))
        return false;
    m_open = keyId(key);
    m_keys.try_emplace(*m_open);
    return true;
}

void FakeRegistry::closeKey()
{
    m_calls.push_back(QStringLiteral("close"));
    m_open.reset();
}

bool FakeRegistry::valueExists(const QString& name) const
{
    m_calls.push_back(QStringLiteral("exists ") + name);
    return m_open && find(*m_open, name) != nullptr;
}

int FakeRegistry::readInteger(const QString& name) const
{
    m_calls.push_back(QStringLiteral("read ") + name);
    const Value* value = m_open ? find(*m_open, name) : nullptr;
    if (value == nullptr || !std::holds_alternative<int>(*value))
        throw ERegistryError(QStringLiteral("Invalid data type for '%1'").arg(name).toStdString());
    return std::get<int>(*value);
}

void FakeRegistry::writeInteger(const QString& name, int value)
{
    m_calls.push_back(QStringLiteral("write %1=%2").arg(name).arg(value));
    if (m_failWrites || !m_open)
        throw ERegistryError(QStringLiteral("Failed to set data for '%1'").arg(name).toStdString());
    m_keys[*m_open][name.toCaseFolded()] = value;
}

QString FakeRegistry::readString(const QString& name) const
{
    m_calls.push_back(QStringLiteral("read ") + name);
    const Value* value = m_open ? find(*m_open, name) : nullptr;
    if (value == nullptr || !std::holds_alternative<QString>(*value))
        throw ERegistryError(QStringLiteral("Invalid data type for '%1'").arg(name).toStdString());
    return std::get<QString>(*value);
}

void FakeRegistry::writeString(const QString& name, const QString& value)
{
    m_calls.push_back(QStringLiteral("write %1=\"%2\"").arg(name, value));
    if (m_failWrites || !m_open)
        throw ERegistryError(QStringLiteral("Failed to set data for '%1'").arg(name).toStdString());
    m_keys[*m_open][name.toCaseFolded()] = value;
}

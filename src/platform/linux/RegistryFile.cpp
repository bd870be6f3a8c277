#include "RegistryFile.h"

#include "../AtomicFile.h"
#include "../Errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kRoot = QStringLiteral("HKEY_LOCAL_MACHINE");
// The file is outside input: anything larger is not ours, and it bounds the work of a parse.
constexpr qsizetype kMaxSize = 4 * 1024 * 1024;

[[noreturn]] void failToSet(const QString& name)
{
    throw ERegistryError(QStringLiteral("Failed to set data for '%1'").arg(name).toStdString());
}

// A value line: "name"=data or @=data (the key's default value, named ""). Only \\ and \" are
// escaped in names.
bool parseValue(const QByteArray& line, QString& name, QByteArray& data)
{
    qsizetype pos = 1;
    QByteArray raw;
    if (line.startsWith('"')) {
        for (;; ++pos) {
            if (pos >= line.size())
                return false;
            char c = line[pos];
            if (c == '"')
                break;
            if (c == '\\' && pos + 1 < line.size())
                c = line[++pos];
            raw += c;
        }
        ++pos;
    } else if (!line.startsWith('@')) {
        return false;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    if (pos >= line.size() || line[pos] != '=')
        return false;
    data = line.mid(pos + 1).trimmed();
    name = QString::fromUtf8(raw);
    return true;
}

// Hand-edited files may carry fewer than 8 digits; QByteArray::toUInt alone would also take "0x" and
// signs.
bool parseDword(const QByteArray& digits, quint32& value)
{
    if (digits.isEmpty() || digits.size() > 8)
        return false;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    value = digits.toUInt(nullptr, 16);
    return true;
}

bool isHexContinuation(const QByteArray& line)
{
    const QByteArray digits = line.trimmed();
    return !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) || c == ',' || c == ' ' || c == '\t' || c == '\\';
    });
}

// Only \\ and \" are escaped, in names and in strings alike.
QByteArray quoted(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return '"' + escaped.toUtf8() + '"';
}

// A string's data: "..." and nothing after the closing quote.
bool parseString(const QByteArray& data, QString& value)
{
    if (!data.startsWith('"'))
        return false;
    QByteArray raw;
    for (qsizetype pos = 1; pos < data.size(); ++pos) {
        char c = data[pos];
        if (c == '"') {
            if (pos + 1 != data.size())
                return false;
            value = QString::fromUtf8(raw);
            return true;
        }
        if (c == '\\' && pos + 1 < data.size())
            c = data[++pos];
        raw += c;
    }
    return false;
}

QByteArray dwordData(quint32 value)
{
    return "dword:" + QByteArray::number(value, 16).rightJustified(8, '0');
}

QByteArray valueLine(const QString& name, const QByteArray& data)
{
    return (name.isEmpty() ? QByteArray("@") : quoted(name)) + '=' + data;
}

constexpr int kMaxAside = 10000;

QByteArray asideName(const QByteArray& path, int n)
{
    return path + ".damaged" + (n == 0 ? QByteArray() : '.' + QByteArray::number(n));
}

// A damaged file kept under the first free name of "<path>.damaged", "<path>.damaged.1",
// "<path>.damaged.2", ...: a copy kept earlier is never overwritten.
struct Aside
{
    QByteArray name;    // empty: there was no file to keep
    bool moved = false; // renamed away, not linked: a save that fails must put it back
};

// Keeps the damaged file at `path` aside before its replacement is written; nothing when
// it cannot be kept. A second name leaves the file in place, with its permissions for the
// replacement to take over, until the rename that replaces it; a file system without hard
// links, or one refusing a link to another user's file, has it moved away instead.
std::optional<Aside> keepAside(const QByteArray& path)
{
    int n = 0;
    for (; n < kMaxAside; ++n) {
        if (::linkat(AT_FDCWD, path.constData(), AT_FDCWD, asideName(path, n).constData(), 0) == 0)
            return Aside{asideName(path, n), false};
        if (errno == ENOENT)
            return Aside{};
        if (errno != EEXIST)
            break;
    }
    for (; n < kMaxAside; ++n) {
        const QByteArray aside = asideName(path, n);
        int moved = ::renameat2(AT_FDCWD, path.constData(), AT_FDCWD, aside.constData(), RENAME_NOREPLACE);
        if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system that cannot refuse to replace: look first.
            struct stat st;
            if (::lstat(aside.constData(), &st) == 0)
                continue;
            moved = std::rename(path.constData(), aside.constData());
        }
        if (moved == 0)
            return Aside{aside, true};
        if (errno == ENOENT)
            return Aside{};
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

// After a save that failed, the damaged file is again only under its own name.
void putBack(const QByteArray& path, const Aside& aside)
{
    if (aside.name.isEmpty())
        return;
    if (!aside.moved) {
        (void)::unlink(aside.name.constData());
        return;
    }
    // Something written there meanwhile stays; the damaged file then keeps the other name.
    if (::renameat2(AT_FDCWD, aside.name.constData(), AT_FDCWD, path.constData(), RENAME_NOREPLACE) != 0 &&
        (errno == EINVAL || errno == ENOSYS)) {
        struct stat st;
        if (::lstat(path.constData(), &st) != 0)
            (void)std::rename(aside.name.constData(), path.constData());
    }
}

// Whether this user may write the file, or make it: the nearest directory that exists
// must let them.
bool canWrite(const QString& path)
{
    const QByteArray file = QFile::encodeName(path);
    if (::access(file.constData(), F_OK) == 0)
        return ::access(file.constData(), W_OK) == 0 &&
               ::access(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), W_OK | X_OK) == 0;
    QString dir = QFileInfo(path).absolutePath();
    while (!QFileInfo::exists(dir) && dir != QLatin1String("/"))
        dir = QFileInfo(dir).absolutePath();
    return ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
}

} // namespace

RegistryFile::RegistryFile(QString path, const QString& defaults)
    : m_path(std::move(path))
{
    if (!defaults.isEmpty())
        m_defaults = std::make_unique<RegistryFile>(defaults);
}

RegistryFile::~RegistryFile() = default;

RegistryFile::Location RegistryFile::locate(const QString& machinePath)
{
    const QString chosen = qEnvironmentVariable("PAGELLO_REGISTRY");
    if (!chosen.isEmpty())
        return {chosen, {}};
    if (canWrite(machinePath))
        return {machinePath, {}};
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(data))
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return {data + QStringLiteral("/pagello/system.reg"), machinePath};
}

RegistryFile::Scan RegistryFile::scan(const std::vector<QByteArray>& lines, const QString& key)
{
    Scan s;
    const QString subkeys = key + QLatin1Char('\\');
    const auto count = static_cast<qsizetype>(lines.size());
    bool inSection = false;
    bool inKey = false;
    for (qsizetype i = 0; i < count; ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        if (!s.hasHeader) {
            if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00") {
                s.error = QStringLiteral("it is not a REGEDIT4 file");
                return s;
            }
            s.hasHeader = true;
            continue;
        }
        if (line.startsWith(';'))
            continue;
        if (line.size() > 2 && line.startsWith('[') && line.endsWith(']')) {
            const QString path = QString::fromUtf8(line.mid(1, line.size() - 2));
            inSection = true;
            inKey = !key.isEmpty() && path.compare(key, Qt::CaseInsensitive) == 0;
            if (inKey || (!key.isEmpty() && path.startsWith(subkeys, Qt::CaseInsensitive)))
                s.keyExists = true;
            if (inKey)
                s.appendAt = i + 1;
            continue;
        }
        QString name;
        QByteArray data;
        quint32 dword = 0;
        const bool isValue = inSection && parseValue(line, name, data);
        const bool isDword = isValue && data.left(6).compare("dword:", Qt::CaseInsensitive) == 0;
        if (!isValue || (isDword && !parseDword(data.mid(6).trimmed(), dword))) {
            s.error = QStringLiteral("line %1 is not a key, a value or a comment").arg(i + 1);
            return s;
        }
        // hex data goes on over lines ending in a backslash. A cut-off list must not swallow the key
        // or value after it, nor one we append.
        qsizetype length = 1;
        if (!data.startsWith('"')) {
            while (i + length < count && lines[i + length - 1].trimmed().endsWith('\\') &&
                   isHexContinuation(lines[i + length]))
                ++length;
        }
        if (inKey) {
            Value& value = s.values[name.toCaseFolded()];
            if (value.lines.empty())
                value.name = name;
            value.isDword = isDword;
            value.dword = dword;
            value.isString = parseString(data, value.string);
            value.lines.emplace_back(i, length);
            s.appendAt = i + length;
        }
        i += length - 1;
    }
    return s;
}

void RegistryFile::load()
{
    m_lines.clear();
    QFile file(m_path);
    if (!file.exists()) {
        m_damaged = false; // nothing left to keep aside
        return;
    }
    if (!file.open(QIODevice::ReadOnly))
        return damaged(file.errorString());
    QByteArray bytes = file.read(kMaxSize + 1);
    if (file.error() != QFileDevice::NoError)
        return damaged(file.errorString());
    if (bytes.size() > kMaxSize)
        return damaged(QStringLiteral("it is larger than 4 MB"));
    // Version 5 exports are UTF-16; we write them back as UTF-8.
    if (bytes.startsWith("\xFF\xFE")) {
        QStringDecoder fromUtf16(QStringDecoder::Utf16LE);
        const QString text = fromUtf16(bytes);
        bytes = text.toUtf8();
    } else if (bytes.startsWith("\xEF\xBB\xBF")) {
        bytes.remove(0, 3);
    }

    std::vector<QByteArray> lines;
    for (QByteArray& line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        lines.push_back(std::move(line));
    }
    if (bytes.endsWith('\n'))
        lines.pop_back();
    const Scan s = scan(lines, QString());
    if (!s.error.isEmpty())
        return damaged(s.error);
    // A blank file is an empty registry; the first write gives it its header.
    if (s.hasHeader)
        m_lines = std::move(lines);
    m_damaged = false;
}

void RegistryFile::damaged(const QString& reason)
{
    m_lines.clear();
    if (std::exchange(m_damaged, true))
        return;
    throw ERegistryError(QStringLiteral("The registry file '%1' cannot be read: %2").arg(m_path, reason).toStdString());
}

bool RegistryFile::openKey(const QString& key, bool canCreate)
{
    closeKey();
    QString relative = key;
    while (relative.startsWith(QLatin1Char('\\')))
        relative.remove(0, 1);
    while (relative.endsWith(QLatin1Char('\\')))
        relative.chop(1);
    // A line break would end the section header in the middle of the name.
    if (relative.contains(QLatin1Char('\n')) || relative.contains(QLatin1Char('\r')))
        return false;
    const QString path = relative.isEmpty() ? kRoot : kRoot + QLatin1Char('\\') + relative;

    load();
    Scan s = scan(m_lines, path);
    // The machine-wide file is only read: what it holds cannot be fixed by this user, so a
    // damaged one gives no defaults and no error.
    bool inDefaults = false;
    if (m_defaults) {
        try {
            inDefaults = m_defaults->openKey(key, false);
        } catch (const ERegistryError&) {
            inDefaults = false;
        }
    }
    if (!s.keyExists && !inDefaults && !canCreate)
        return false;
    m_key = path;
    m_values = std::move(s.values);
    m_open = true;
    mergeDefaults();
    return true;
}

void RegistryFile::mergeDefaults()
{
    if (!m_defaults || !m_defaults->m_open)
        return;
    for (auto it = m_defaults->m_values.cbegin(); it != m_defaults->m_values.cend(); ++it) {
        if (m_values.contains(it.key()))
            continue;
        Value value = it.value();
        value.lines.clear(); // none of them in this file
        m_values.insert(it.key(), value);
    }
}

void RegistryFile::closeKey()
{
    if (m_defaults)
        m_defaults->closeKey();
    m_open = false;
    m_key.clear();
    m_values.clear();
}

bool RegistryFile::valueExists(const QString& name) const
{
    return m_values.contains(name.toCaseFolded());
}

int RegistryFile::readInteger(const QString& name) const
{
    const auto it = m_values.constFind(name.toCaseFolded());
    if (it == m_values.cend() || !it->isDword)
        throw ERegistryError(QStringLiteral("Invalid data type for '%1'").arg(name).toStdString());
    return static_cast<int>(it->dword);
}

QString RegistryFile::readString(const QString& name) const
{
    const auto it = m_values.constFind(name.toCaseFolded());
    if (it == m_values.cend() || !it->isString)
        throw ERegistryError(QStringLiteral("Invalid data type for '%1'").arg(name).toStdString());
    return it->string;
}

void RegistryFile::writeInteger(const QString& name, int value)
{
    writeValue(name, dwordData(static_cast<quint32>(value)));
}

void RegistryFile::writeString(const QString& name, const QString& value)
{
    // A string is one line of the file.
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
        failToSet(name);
    writeValue(name, quoted(value));
}

void RegistryFile::writeValue(const QString& name, const QByteArray& data)
{
    if (!m_open || name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r')))
        failToSet(name);
    std::vector<QByteArray> lines = m_lines.empty() ? std::vector<QByteArray>{"REGEDIT4", ""} : m_lines;
    const Scan s = scan(lines, m_key);
    const auto found = s.values.constFind(name.toCaseFolded());
    if (found != s.values.cend()) {
        const auto& where = found->lines;
        const auto [last, length] = where.back();
        lines[last] = valueLine(found->name, data);
        lines.erase(lines.begin() + last + 1, lines.begin() + last + length);
        // The last of duplicates is the one read; earlier ones go so the file agrees with what we
        // read back. Back to front keeps the positions of those still to go.
        for (auto it = where.rbegin() + 1; it != where.rend(); ++it)
            lines.erase(lines.begin() + it->first, lines.begin() + it->first + it->second);
    } else if (s.appendAt >= 0) {
        lines.insert(lines.begin() + s.appendAt, valueLine(name, data));
    } else {
        if (!lines.back().trimmed().isEmpty())
            lines.emplace_back();
        lines.push_back('[' + m_key.toUtf8() + ']');
        lines.push_back(valueLine(name, data));
    }
    save(lines, name);
    m_lines = std::move(lines);
    m_values = scan(m_lines, m_key).values;
    mergeDefaults();
}

void RegistryFile::save(const std::vector<QByteArray>& lines, const QString& name)
{
    QByteArray text;
    for (const QByteArray& line : lines)
        text += line + '\n';
    const QByteArray path = QFile::encodeName(m_path);
    // The error raised names only the value; why the file could not be written, and which
    // file it is, goes to standard error for whoever looks after the machine.
    const auto fail = [&](const QString& reason) {
        std::fprintf(stderr, "%s: cannot save the registry file '%s': %s\n", program_invocation_short_name,
                     path.constData(), reason.toLocal8Bit().constData());
        failToSet(name);
    };
    // The user's damaged file is kept aside before the rename that would destroy it; a save
    // that fails leaves it as it was, under its own name only.
    std::optional<Aside> aside;
    if (m_damaged && !(aside = keepAside(path)))
        fail(QStringLiteral("the damaged file cannot be kept aside: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
    const QString error = replaceFileAtomically(m_path, text);
    if (!error.isEmpty()) {
        if (aside)
            putBack(path, *aside);
        fail(error);
    }
    m_damaged = false;
}

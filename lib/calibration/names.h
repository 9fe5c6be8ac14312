#pragma once

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// An enum's names as files and command lines spell them, in one table per enum that is read
// both ways: a name is written where it is read, and a value added to the enum is added once.
namespace names {

template <typename T>
using Table = QVector<QPair<QString, T>>;

// The name of `value`; empty when the table lacks it.
template <typename T>
QString of(const Table<T> &table, T value)
{
    for (const auto &one : table) {
        if (one.second == value)
            return one.first;
    }
    return QString();
}

// The value `name` spells; nothing for any other text.
template <typename T>
std::optional<T> named(const Table<T> &table, const QString &name)
{
    for (const auto &one : table) {
        if (one.first == name)
            return one.second;
    }
    return std::nullopt;
}

// Every name, quoted, for a message that lists what is allowed.
template <typename T>
QStringList quoted(const Table<T> &table)
{
    QStringList all;
    for (const auto &one : table)
        all << QStringLiteral("\"%1\"").arg(one.first);
    return all;
}

} // namespace names

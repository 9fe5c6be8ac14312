#include "formjson.h"

#include "numbers.h"

#include <QLocale>

namespace formjson {

QString shown(const QJsonValue &value)
{
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    return value.toString();
}

QJsonValue at(const QJsonObject &root, const QString &path)
{
    QJsonValue value = root;
    for (const QString &key : path.split(QLatin1Char('.')))
        value = value.toObject().value(key);
    return value;
}

void put(QJsonObject &root, const QStringList &path, const QJsonValue &value)
{
    if (path.size() == 1) {
        root.insert(path.first(), value);
        return;
    }
    QJsonObject inner = root.value(path.first()).toObject();
    put(inner, path.mid(1), value);
    root.insert(path.first(), inner);
}

std::optional<double> cellNumber(const QString &text)
{
    if (text.trimmed().isEmpty())
        return std::nullopt;
    return numbers::parse(text, numbers::Precision::Double);
}

} // namespace formjson

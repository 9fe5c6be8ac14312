#include "formjson.h"

#include "numbers.h"

#include <QLocale>

namespace formjson {

namespace {

// The members whose text is a number.
const QStringList NumberMembers = {
    QStringLiteral("reference.certificate.expanded_uncertainty"), QStringLiteral("reference.certificate.k"),
    QStringLiteral("reference.drift"), QStringLiteral("reference.resolution"), QStringLiteral("source.settle"),
    QStringLiteral("stability.interval"), QStringLiteral("stability.window"), QStringLiteral("stability.slope"),
    QStringLiteral("stability.sd"), QStringLiteral("stability.samples"), QStringLiteral("stability.timeout"),
    QStringLiteral("tolerance"), QStringLiteral("fit.degree"), QStringLiteral("stability.stale"), QStringLiteral("bounds.reading"),
    QStringLiteral("bounds.adjustment")};

} // namespace

bool holdsNumber(const QString &member)
{
    return NumberMembers.contains(member);
}

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

QString fieldFor(const QStringList &fields, const QString &member)
{
    QString longest;
    for (const QString &key : fields) {
        const bool holds = member.startsWith(key)
                        && (member.size() == key.size() || member.at(key.size()) == QLatin1Char('.') || member.at(key.size()) == QLatin1Char('['));
        if (holds && key.size() > longest.size())
            longest = key;
    }
    return longest;
}

} // namespace formjson

#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <optional>

// How the procedure form moves between its fields and the file's members, named by their
// path in the file ("reference.certificate.k").
namespace formjson {

// Whether the member's text is a number (its field is read as one).
bool holdsNumber(const QString &member);
// A member's value as its field shows it: a number in its shortest exact form.
QString shown(const QJsonValue &value);
// The member at `path`; undefined when a step of it is missing.
QJsonValue at(const QJsonObject &root, const QString &path);
// Sets the member at `path`, making the objects on the way.
void put(QJsonObject &root, const QStringList &path, const QJsonValue &value);
// A cell's number, or nothing with why not; empty text is no number here, never 0.
std::optional<double> cellNumber(const QString &text);
// Of the fields' members, the one that shows `member`: itself, or the longest that holds it
// (a list's element, an object's part); empty when none does.
QString fieldFor(const QStringList &fields, const QString &member);

} // namespace formjson

#pragma once

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

// Validates a DCC against the shared schemas with xmllint, offline through their catalog.
// Empty when valid, else why not: the schema's complaints, or a set-up that cannot validate
// (no schemas, no xmllint, a catalog not used), which is a failure and never a pass.
namespace dccschema {

// xmllint's statuses.
constexpr int Valid = 0;
constexpr int Invalid = 3;
constexpr int SchemaNotCompiled = 5;
constexpr int XmllintMs = 60000;

inline QString problem(const QByteArray &xml)
{
    const QDir schemas(QStringLiteral(THERMOCAL_DCC_SCHEMAS));
    if (!QFileInfo::exists(schemas.filePath(QStringLiteral("dcc.xsd"))) || !QFileInfo::exists(schemas.filePath(QStringLiteral("catalog.xml"))))
        return QStringLiteral("the DCC schemas are not in %1 (configure with -DTHERMOCAL_DCC_SCHEMAS=DIR)").arg(schemas.absolutePath());
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("dcc.xml"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(xml) != xml.size())
        return QStringLiteral("cannot write %1").arg(file);
    out.close();
    QProcess xmllint;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A file: URL, so a folder with a space in its name still names one catalog.
    environment.insert(QStringLiteral("XML_CATALOG_FILES"),
                       QString::fromUtf8(QUrl::fromLocalFile(schemas.absoluteFilePath(QStringLiteral("catalog.xml"))).toEncoded()));
    xmllint.setProcessEnvironment(environment);
    xmllint.start(QStringLiteral("xmllint"), {QStringLiteral("--nonet"), QStringLiteral("--noout"), QStringLiteral("--schema"),
                                              schemas.absoluteFilePath(QStringLiteral("dcc.xsd")), file});
    if (!xmllint.waitForStarted(XmllintMs))
        return QStringLiteral("xmllint (libxml2-utils) is not installed; scripts/bootstrap installs it");
    if (!xmllint.waitForFinished(XmllintMs))
        return QStringLiteral("xmllint did not finish");
    const QString said = QString::fromUtf8(xmllint.readAllStandardError());
    if (xmllint.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("xmllint crashed: %1").arg(said);
    switch (xmllint.exitCode()) {
    case Valid:
        return QString();
    case Invalid:
        return QStringLiteral("invalid: %1").arg(said);
    case SchemaNotCompiled:
        return QStringLiteral("the schema did not compile (catalog not used?): %1").arg(said);
    default:
        return QStringLiteral("xmllint status %1: %2").arg(xmllint.exitCode()).arg(said);
    }
}

} // namespace dccschema

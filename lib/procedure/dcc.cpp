#include "dcc.h"


#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSet>
#include <QXmlStreamWriter>

#include <cmath>

namespace dcc {

namespace {

// The coverage probability every U of the record is stated at (k from Student's t).
constexpr double CoverageProbability = 0.9545;
const QString Kelvin = QStringLiteral("\\kelvin");
const QString Volt = QStringLiteral("\\volt");

QString message(const char *text)
{
    return QCoreApplication::translate("dcc", text);
}

// A number with the digits the record holds: the shortest text that reads back as the same
// double, as the record's JSON writes it. D-SI writes a value that is not a number as NaN.
QString number(double value)
{
    return std::isfinite(value) ? QString::number(value, 'g', QLocale::FloatingPointShortest) : QStringLiteral("NaN");
}

QString conformity(analysis::Decision decision)
{
    switch (decision) {
    case analysis::Decision::Pass:
        return QStringLiteral("pass");
    case analysis::Decision::Fail:
        return QStringLiteral("fail");
    case analysis::Decision::ConditionalPass:
        return QStringLiteral("conditionalPass");
    case analysis::Decision::ConditionalFail:
        return QStringLiteral("conditionalFail");
    }
    return QStringLiteral("fail");
}

// The date of an ISO 8601 time as the record writes it.
QString dateOf(const QString &isoTime)
{
    return QDateTime::fromString(isoTime, Qt::ISODateWithMs).date().toString(Qt::ISODate);
}

// QXmlStreamWriter with the DCC's recurring shapes: a text in the certificate's language, a
// list of numbers in D-SI.
class Writer
{
public:
    Writer(QByteArray *out, const QString &language) : m_xml(out), m_language(language)
    {
        m_xml.setAutoFormatting(true);
        m_xml.setAutoFormattingIndent(1);
    }

    QXmlStreamWriter &xml() { return m_xml; }
    void start(const QString &name) { m_xml.writeStartElement(QString::fromLatin1(Namespace), name); }
    void end() { m_xml.writeEndElement(); }
    void element(const QString &name, const QString &value) { m_xml.writeTextElement(QString::fromLatin1(Namespace), name, value); }
    void si(const QString &name, const QString &value) { m_xml.writeTextElement(QString::fromLatin1(SiNamespace), name, value); }

    // <dcc:NAME><dcc:content lang="..">TEXT</dcc:content></dcc:NAME>, for textType and richContentType.
    void text(const QString &name, const QStringList &contents)
    {
        start(name);
        for (const QString &content : contents) {
            start(QStringLiteral("content"));
            m_xml.writeAttribute(QStringLiteral("lang"), m_language);
            m_xml.writeCharacters(content);
            end();
        }
        end();
    }
    void text(const QString &name, const QString &content) { text(name, QStringList{content}); }

    // A dcc:quantity holding one list of values in `unit`, with each value's expanded
    // uncertainty and coverage factor when given.
    void quantityList(const QString &name, const QVector<double> &values, const QString &unit,
                      const QVector<double> &expanded = {}, const QVector<double> &k = {})
    {
        start(QStringLiteral("quantity"));
        text(QStringLiteral("name"), name);
        m_xml.writeStartElement(QString::fromLatin1(SiNamespace), QStringLiteral("realListXMLList"));
        si(QStringLiteral("valueXMLList"), numbers(values));
        si(QStringLiteral("unitXMLList"), unit);
        if (!expanded.isEmpty()) {
            m_xml.writeStartElement(QString::fromLatin1(SiNamespace), QStringLiteral("expandedUncXMLList"));
            si(QStringLiteral("uncertaintyXMLList"), numbers(expanded));
            si(QStringLiteral("coverageFactorXMLList"), numbers(k));
            si(QStringLiteral("coverageProbabilityXMLList"), number(CoverageProbability));
            m_xml.writeEndElement();
        }
        m_xml.writeEndElement();
        end();
    }

    // A dcc:quantity holding one value in `unit`.
    void quantity(const QString &name, double value, const QString &unit)
    {
        start(QStringLiteral("quantity"));
        text(QStringLiteral("name"), name);
        m_xml.writeStartElement(QString::fromLatin1(SiNamespace), QStringLiteral("real"));
        si(QStringLiteral("value"), number(value));
        si(QStringLiteral("unit"), unit);
        m_xml.writeEndElement();
        end();
    }

    void identification(const QString &issuer, const QString &value, const QString &name)
    {
        start(QStringLiteral("identification"));
        element(QStringLiteral("issuer"), issuer);
        element(QStringLiteral("value"), value);
        text(QStringLiteral("name"), name);
        end();
    }

private:
    static QString numbers(const QVector<double> &values)
    {
        QStringList texts;
        for (const double value : values)
            texts << number(value);
        return texts.join(QLatin1Char(' '));
    }

    QXmlStreamWriter m_xml;
    QString m_language;
};

QString orNot(const QString &text, const char *fallback)
{
    return text.trimmed().isEmpty() ? message(fallback) : text;
}

void administrativeData(Writer &w, const certificate::Document &d)
{
    const procedure::CertificateTexts &c = d.procedure.certificate;
    w.start(QStringLiteral("administrativeData"));

    // The software that made the record and its results, named and versioned as the record says.
    // A name without a version ("thermocal-calibrate " from a build that has none) has no release.
    const QString software = d.software.trimmed();
    const int space = software.lastIndexOf(QLatin1Char(' '));
    w.start(QStringLiteral("dccSoftware"));
    w.start(QStringLiteral("software"));
    w.text(QStringLiteral("name"), orNot(space > 0 ? software.left(space) : software, QT_TRANSLATE_NOOP("dcc", "not recorded")));
    w.element(QStringLiteral("release"), space > 0 ? software.mid(space + 1) : message(QT_TRANSLATE_NOOP("dcc", "unknown")));
    w.end();
    w.end();

    w.start(QStringLiteral("coreData"));
    w.element(QStringLiteral("countryCodeISO3166_1"), c.country);
    w.element(QStringLiteral("usedLangCodeISO639_1"), c.language);
    w.element(QStringLiteral("mandatoryLangCodeISO639_1"), c.language);
    w.element(QStringLiteral("uniqueIdentifier"), c.number);
    w.element(QStringLiteral("beginPerformanceDate"), dateOf(d.started));
    w.element(QStringLiteral("endPerformanceDate"), dateOf(d.finished.isEmpty() ? d.started : d.finished));
    w.element(QStringLiteral("performanceLocation"), QStringLiteral("laboratory"));
    w.element(QStringLiteral("issueDate"), d.issued.toString(Qt::ISODate));
    w.end();

    w.start(QStringLiteral("items"));
    w.start(QStringLiteral("item"));
    w.text(QStringLiteral("name"), orNot(c.item, QT_TRANSLATE_NOOP("dcc", "the instrument")));
    w.text(QStringLiteral("description"), {d.sentences.calibrated, message(QT_TRANSLATE_NOOP("dcc", "Read on %1.")).arg(d.port)});
    w.start(QStringLiteral("identifications"));
    w.identification(QStringLiteral("manufacturer"), orNot(d.serialNumber, QT_TRANSLATE_NOOP("dcc", "not recorded")),
                     message(QT_TRANSLATE_NOOP("dcc", "Serial number")));
    w.end();
    w.end();
    w.end();

    w.start(QStringLiteral("calibrationLaboratory"));
    w.start(QStringLiteral("contact"));
    w.text(QStringLiteral("name"), c.lab);
    w.start(QStringLiteral("location"));
    w.element(QStringLiteral("city"), c.city);
    w.element(QStringLiteral("countryCode"), c.country);
    if (!c.address.trimmed().isEmpty())
        w.text(QStringLiteral("further"), c.address);
    w.end();
    w.end();
    w.end();

    // Who answers for the results: the operator the procedure names, whoever allowed an expired
    // reference, and each user who ran a session of it.
    w.start(QStringLiteral("respPersons"));
    QSet<QString> named;
    const auto person = [&](const QString &name, const QString &role) {
        if (name.trimmed().isEmpty() || named.contains(name + role))
            return;
        named.insert(name + role);
        w.start(QStringLiteral("respPerson"));
        w.start(QStringLiteral("person"));
        w.text(QStringLiteral("name"), name);
        w.end();
        w.element(QStringLiteral("role"), role);
        w.end();
    };
    person(c.operatorName, message(QT_TRANSLATE_NOOP("dcc", "performed the calibration")));
    const QJsonObject expired = d.record.value(QStringLiteral("expired_reference")).toObject();
    person(expired.value(QStringLiteral("allowed_by")).toString(),
           message(QT_TRANSLATE_NOOP("dcc", "allowed the reference's use past its due date")));
    for (const QJsonValue &session : d.record.value(QStringLiteral("sessions")).toArray())
        person(session.toObject().value(QStringLiteral("user")).toString(), message(QT_TRANSLATE_NOOP("dcc", "ran the calibration software")));
    if (named.isEmpty())
        person(message(QT_TRANSLATE_NOOP("dcc", "not named in the procedure")), message(QT_TRANSLATE_NOOP("dcc", "performed the calibration")));
    w.end();

    w.start(QStringLiteral("customer"));
    w.text(QStringLiteral("name"), orNot(c.customer, QT_TRANSLATE_NOOP("dcc", "not named in the procedure")));
    w.start(QStringLiteral("location"));
    w.text(QStringLiteral("further"), message(QT_TRANSLATE_NOOP("dcc", "not given in the procedure")));
    w.end();
    w.end();

    w.start(QStringLiteral("statements"));
    w.start(QStringLiteral("statement"));
    w.text(QStringLiteral("name"), message(QT_TRANSLATE_NOOP("dcc", "Calibration record")));
    w.text(QStringLiteral("declaration"),
           message(QT_TRANSLATE_NOOP("dcc", "Every reading of both channels is kept in the calibration record, embedded in this "
                                            "certificate, from which 'thermocal-cli verify-record' recomputes these results. Its SHA-256: %1"))
               .arg(d.hash));
    w.end();
    w.end();

    w.end();
}

// The methods, the software and the reference: the same for every phase.
void common(Writer &w, const certificate::Document &d)
{
    const procedure::Procedure &p = d.procedure;
    const procedure::ReferenceCertificate &rc = p.reference.certificate;
    w.start(QStringLiteral("usedMethods"));
    // The lab's own procedure, as the certificate names it, is the method's reference.
    const auto method = [&](const char *name, const QString &description, const QString &norm, const QString &reference = QString()) {
        w.start(QStringLiteral("usedMethod"));
        w.text(QStringLiteral("name"), message(name));
        w.text(QStringLiteral("description"), description);
        w.element(QStringLiteral("norm"), norm);
        if (!reference.trimmed().isEmpty())
            w.element(QStringLiteral("reference"), reference);
        w.end();
    };
    method(QT_TRANSLATE_NOOP("dcc", "Calibration by comparison"), d.sentences.method, QStringLiteral("ISO/IEC 17025:2017"),
           p.certificate.procedure);
    method(QT_TRANSLATE_NOOP("dcc", "Decision rule"), d.sentences.rule, QStringLiteral("ILAC-G8:09/2019"));
    method(QT_TRANSLATE_NOOP("dcc", "Measurement uncertainty"), d.sentences.uncertainty, QStringLiteral("JCGM 100:2008"));
    w.end();

    w.start(QStringLiteral("measuringEquipments"));
    w.start(QStringLiteral("measuringEquipment"));
    w.text(QStringLiteral("name"), d.sentences.referenceIdentity);
    w.text(QStringLiteral("description"), d.sentences.traceability);
    if (!rc.sha256.isEmpty()) {
        w.start(QStringLiteral("certificate"));
        w.text(QStringLiteral("referral"), orNot(rc.issuer, QT_TRANSLATE_NOOP("dcc", "a laboratory the procedure does not name")));
        w.element(QStringLiteral("referralID"), rc.number);
        w.element(QStringLiteral("procedure"), QStringLiteral("SHA-256"));
        w.element(QStringLiteral("value"), rc.sha256);
        w.end();
    }
    if (!p.reference.make.trimmed().isEmpty()) {
        w.start(QStringLiteral("manufacturer"));
        w.text(QStringLiteral("name"), p.reference.make);
        w.end();
    }
    if (!p.reference.model.trimmed().isEmpty())
        w.element(QStringLiteral("model"), p.reference.model);
    w.start(QStringLiteral("identifications"));
    if (!p.reference.serialNumber.trimmed().isEmpty())
        w.identification(QStringLiteral("manufacturer"), p.reference.serialNumber, message(QT_TRANSLATE_NOOP("dcc", "Serial number")));
    w.identification(QStringLiteral("calibrationLaboratory"), rc.number, message(QT_TRANSLATE_NOOP("dcc", "Calibration certificate")));
    w.identification(QStringLiteral("calibrationLaboratory"), rc.due.toString(Qt::ISODate),
                     message(QT_TRANSLATE_NOOP("dcc", "Due for recalibration")));
    w.end();
    w.end();
    w.end();

    if (!d.deviations.isEmpty()) {
        w.start(QStringLiteral("measurementMetaData"));
        for (const record::Deviation &deviation : d.deviations) {
            w.start(QStringLiteral("metaData"));
            w.text(QStringLiteral("name"), message(QT_TRANSLATE_NOOP("dcc", "Deviation from the method")));
            w.text(QStringLiteral("description"),
                   {deviation.what, message(QT_TRANSLATE_NOOP("dcc", "Reason: %1"))
                                        .arg(orNot(deviation.reason, QT_TRANSLATE_NOOP("dcc", "(none given)"))),
                    message(QT_TRANSLATE_NOOP("dcc", "When (UTC): %1")).arg(deviation.when)});
            w.end();
        }
        w.end();
    }
}

// One table of results as nominal, reference, instrument and error lists, the error with each
// point's U and k, and a conformity per point unless the errors are predicted.
void results(Writer &w, const procedure::Procedure &p, const certificate::ResultTable &table, const QString &name)
{
    const QString unit = p.kind == procedure::Kind::Adc ? Volt : Kelvin;
    QVector<double> nominal, reference, instrument, error, expanded, k;
    QStringList conformities;
    for (const certificate::StatedRow &row : table.rows) {
        nominal << row.nominal;
        reference << row.reference;
        instrument << row.instrument;
        error << row.error;
        expanded << row.expanded;
        k << row.k;
        conformities << conformity(row.decision);
    }
    w.start(QStringLiteral("result"));
    w.text(QStringLiteral("name"), name);
    w.start(QStringLiteral("data"));
    if (table.rows.isEmpty()) {
        w.text(QStringLiteral("text"), message(QT_TRANSLATE_NOOP("dcc", "No point was measured.")));
        w.end();
        w.end();
        return;
    }
    w.start(QStringLiteral("list"));
    w.quantityList(message(QT_TRANSLATE_NOOP("dcc", "Nominal value")), nominal, unit);
    w.quantityList(message(QT_TRANSLATE_NOOP("dcc", "Reference")), reference, unit);
    w.quantityList(message(QT_TRANSLATE_NOOP("dcc", "Instrument")), instrument, unit);
    w.quantityList(message(QT_TRANSLATE_NOOP("dcc", "Error")), error, unit, expanded, k);
    if (!table.predicted) {
        w.start(QStringLiteral("measurementMetaData"));
        w.start(QStringLiteral("metaData"));
        w.text(QStringLiteral("name"), message(QT_TRANSLATE_NOOP("dcc", "Conformity")));
        w.element(QStringLiteral("conformityXMLList"), conformities.join(QLatin1Char(' ')));
        w.end();
        w.end();
    }
    w.end();
    w.end();
    w.end();
}

// The new constants or table, made or proposed.
void adjustment(Writer &w, const certificate::Document &d, const QString &name)
{
    const analysis::Analysis &a = d.analysis;
    if (!a.fitted)
        return;
    w.start(QStringLiteral("result"));
    w.text(QStringLiteral("name"), name);
    w.text(QStringLiteral("description"), QStringList{d.sentences.adjustment, d.sentences.betweenPoints} +
                                              (d.written ? QStringList{d.sentences.written} : QStringList()));
    w.start(QStringLiteral("data"));
    w.start(QStringLiteral("list"));
    if (d.procedure.kind == procedure::Kind::Adc) {
        w.quantity(message(QT_TRANSLATE_NOOP("dcc", "ADC slope (per count)")), double(a.proposed.adcSlope), Volt);
        w.quantity(message(QT_TRANSLATE_NOOP("dcc", "ADC intercept")), double(a.proposed.adcIntercept), Volt);
    } else {
        QVector<double> volts, kelvin;
        for (const fit::Point &row : a.sensor.table) {
            volts << row.first;
            kelvin << row.second;
        }
        w.quantityList(message(QT_TRANSLATE_NOOP("dcc", "Table: sensor voltage")), volts, Volt);
        w.quantityList(message(QT_TRANSLATE_NOOP("dcc", "Table: temperature")), kelvin, Kelvin);
    }
    w.end();
    w.end();
    w.end();
}

void measurementResult(Writer &w, const certificate::Document &d, analysis::Phase phase)
{
    const bool found = phase == analysis::Phase::AsFound;
    w.start(QStringLiteral("measurementResult"));
    w.text(QStringLiteral("name"), found ? message(QT_TRANSLATE_NOOP("dcc", "Results as found"))
                                         : message(QT_TRANSLATE_NOOP("dcc", "Results as left")));
    w.start(QStringLiteral("influenceConditions"));
    w.start(QStringLiteral("influenceCondition"));
    w.text(QStringLiteral("name"), message(QT_TRANSLATE_NOOP("dcc", "Ambient conditions")));
    w.element(QStringLiteral("status"), found ? QStringLiteral("beforeAdjustment") : QStringLiteral("afterAdjustment"));
    w.start(QStringLiteral("data"));
    w.text(QStringLiteral("text"), orNot(d.procedure.certificate.ambient, QT_TRANSLATE_NOOP("dcc", "not stated in the procedure")));
    w.end();
    w.end();
    w.end();
    w.start(QStringLiteral("results"));
    if (found) {
        results(w, d.procedure, d.found, message(QT_TRANSLATE_NOOP("dcc", "Results as found")));
        if (!d.written) {
            results(w, d.procedure, d.predicted,
                    message(QT_TRANSLATE_NOOP("dcc", "Errors the proposed adjustment would give (predicted, not measured)")));
            adjustment(w, d, message(QT_TRANSLATE_NOOP("dcc", "Proposed adjustment (not made)")));
        }
    } else {
        results(w, d.procedure, d.left, message(QT_TRANSLATE_NOOP("dcc", "Results as left")));
        adjustment(w, d, message(QT_TRANSLATE_NOOP("dcc", "Adjustment made")));
    }
    w.end();
    w.end();
}

} // namespace

Written write(const certificate::Document &d)
{
    Written written;
    written.error = missing(d.procedure);
    if (written.error.failed())
        return written;
    Writer w(&written.xml, d.procedure.certificate.language);
    QXmlStreamWriter &xml = w.xml();
    xml.writeStartDocument();
    xml.writeNamespace(QString::fromLatin1(Namespace), QStringLiteral("dcc"));
    xml.writeNamespace(QString::fromLatin1(SiNamespace), QStringLiteral("si"));
    w.start(QStringLiteral("digitalCalibrationCertificate"));
    xml.writeAttribute(QStringLiteral("schemaVersion"), QString::fromLatin1(SchemaVersion));
    administrativeData(w, d);
    w.start(QStringLiteral("measurementResults"));
    common(w, d);
    measurementResult(w, d, analysis::Phase::AsFound);
    if (d.written)
        measurementResult(w, d, analysis::Phase::AsLeft);
    w.end();

    // The record itself, as its file holds it.
    w.start(QStringLiteral("document"));
    w.text(QStringLiteral("name"), message(QT_TRANSLATE_NOOP("dcc", "Calibration record")));
    w.element(QStringLiteral("fileName"), record::defaultFileName(d.procedure));
    w.element(QStringLiteral("mimeType"), QStringLiteral("application/json"));
    w.element(QStringLiteral("dataBase64"), QString::fromLatin1(recordBytes(d).toBase64()));
    w.end();
    w.end();
    xml.writeEndDocument();
    return written;
}

QByteArray recordBytes(const certificate::Document &document)
{
    return QJsonDocument(document.record).toJson(QJsonDocument::Compact) + '\n';
}

QString fileName(const certificate::Document &document)
{
    QString name = record::defaultFileName(document.procedure);
    name.chop(int(qstrlen(".json")));
    return name + QStringLiteral(".dcc.xml");
}

} // namespace dcc

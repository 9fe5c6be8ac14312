#include "certificate.h"

#include "curveplot.h"
#include "stating.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFontMetricsF>
#include <QImage>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <functional>

namespace certificate {

namespace {

constexpr int Resolution = 300;      // dots per inch of the page's coordinates
constexpr double MarginMm = 18.0;
constexpr double BodyPoints = 9.0;
constexpr double SmallPoints = 7.5;
constexpr double HeadingPoints = 12.0;
constexpr double TitlePoints = 18.0;
constexpr double PlotHeightShare = 0.38; // of the body's height

QString message(const char *text)
{
    return QCoreApplication::translate("certificate", text);
}

QString fixed(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("-");
}

// Lays text and tables out down the pages, starting a new page when a block would not fit;
// each page gets the header (lab, certificate number) and the footer (page X of Y).
class Pages
{
public:
    // `newPage` turns the painter to a fresh page: the PDF's next, or a scratch picture when
    // only the first page is wanted.
    Pages(QPaintDevice &device, const std::function<void(QPainter &)> &newPage, const QString &lab,
          const QString &number, int total)
        : m_newPage(newPage), m_lab(lab), m_number(number), m_total(total)
    {
        m_painter.begin(&device);
        m_body = QRectF(QPointF(0, 0), QSizeF(device.width(), device.height()));
        startPage();
    }
    ~Pages() { m_painter.end(); }

    bool ok() const { return m_painter.isActive(); }
    int pages() const { return m_page; }
    QPainter &painter() { return m_painter; }
    double width() const { return m_body.width(); }

    void title(const QString &text) { block(text, TitlePoints, true, Qt::AlignLeft); }
    // A heading stays on the page of what follows it: `keep` is how much of that must fit.
    void heading(const QString &text, double keep = 0.0)
    {
        m_y += lineHeight(BodyPoints) * 0.6;
        block(text, HeadingPoints, true, Qt::AlignLeft, std::max(keep, lineHeight(HeadingPoints) * 3));
    }
    void paragraph(const QString &text, double points = BodyPoints) { block(text, points, false, Qt::AlignLeft); }
    void centred(const QString &text) { block(text, BodyPoints, true, Qt::AlignHCenter); }

    // Label: value lines, the labels in a column of their own.
    void fields(const QVector<QPair<QString, QString>> &rows)
    {
        // The labels are bold: measured so.
        setFont(BodyPoints, true);
        const QFontMetricsF metrics(m_painter.font());
        double labelWidth = 0.0;
        for (const auto &row : rows)
            labelWidth = std::max(labelWidth, metrics.horizontalAdvance(row.first + QStringLiteral(":  ")));
        for (const auto &row : rows) {
            const QRectF valueRect(m_body.left() + labelWidth, 0, m_body.width() - labelWidth, 1e6);
            const double height = m_painter.boundingRect(valueRect, Qt::TextWordWrap, row.second.isEmpty() ? QStringLiteral("-") : row.second).height();
            room(height);
            setFont(BodyPoints, true);
            m_painter.drawText(QRectF(m_body.left(), m_y, labelWidth, height), Qt::AlignLeft | Qt::AlignTop, row.first + QLatin1Char(':'));
            setFont(BodyPoints, false);
            m_painter.drawText(QRectF(valueRect.left(), m_y, valueRect.width(), height), Qt::TextWordWrap,
                               row.second.isEmpty() ? QStringLiteral("-") : row.second);
            m_y += height;
        }
    }

    // A table with a header row; column widths in shares of the body's width.
    void table(const QStringList &header, const QVector<QStringList> &rows, const QVector<double> &shares,
               double points = SmallPoints)
    {
        const double height = lineHeight(points) * 1.25;
        room(height * std::min(int(rows.size()) + 1, 4));
        const auto drawRow = [&](const QStringList &cells, bool bold) {
            room(height);
            setFont(points, bold);
            double x = m_body.left();
            for (int c = 0; c < cells.size() && c < shares.size(); ++c) {
                const double w = shares.at(c) * m_body.width();
                m_painter.drawText(QRectF(x + 2, m_y, w - 4, height), (c == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter,
                                   cells.at(c));
                x += w;
            }
            m_y += height;
            m_painter.setPen(QPen(Qt::gray, 1));
            m_painter.drawLine(QPointF(m_body.left(), m_y), QPointF(m_body.right(), m_y));
            m_painter.setPen(Qt::black);
        };
        drawRow(header, true);
        for (const QStringList &row : rows)
            drawRow(row, false);
        m_y += height / 2;
    }

    // A drawing of the given height, drawn by `draw` into its rectangle.
    void figure(double height, const std::function<void(QPainter &, const QRectF &)> &draw)
    {
        room(height);
        draw(m_painter, QRectF(m_body.left(), m_y, m_body.width(), height));
        m_y += height;
    }

    double bodyHeight() const { return m_body.height(); }

private:
    void setFont(double points, bool bold)
    {
        QFont font = m_painter.font();
        font.setPointSizeF(points);
        font.setBold(bold);
        m_painter.setFont(font);
    }

    double lineHeight(double points)
    {
        setFont(points, false);
        return QFontMetricsF(m_painter.font()).lineSpacing();
    }

    void block(const QString &text, double points, bool bold, Qt::Alignment alignment, double keepWithNext = 0.0)
    {
        setFont(points, bold);
        const QRectF bounds = m_painter.boundingRect(QRectF(m_body.left(), 0, m_body.width(), 1e6),
                                                     Qt::TextWordWrap | alignment, text);
        room(bounds.height() + keepWithNext);
        setFont(points, bold);
        m_painter.drawText(QRectF(m_body.left(), m_y, m_body.width(), bounds.height()), Qt::TextWordWrap | alignment, text);
        m_y += bounds.height() + lineHeight(points) * 0.25;
    }

    void room(double height)
    {
        if (m_y + height > m_bottom) {
            m_newPage(m_painter);
            ++m_page;
            startPage();
        }
    }

    void startPage()
    {
        const double small = lineHeight(SmallPoints);
        setFont(SmallPoints, false);
        const QString header = message(QT_TRANSLATE_NOOP("certificate", "%1 - Calibration certificate %2")).arg(m_lab, m_number);
        const QString footer = message(QT_TRANSLATE_NOOP("certificate", "Certificate %1 - page %2 of %3"))
                                   .arg(m_number).arg(m_page).arg(m_total > 0 ? QString::number(m_total) : QStringLiteral("?"));
        m_painter.drawText(QRectF(m_body.left(), m_body.top(), m_body.width(), small), Qt::AlignLeft, header);
        m_painter.drawLine(QPointF(m_body.left(), m_body.top() + small * 1.2), QPointF(m_body.right(), m_body.top() + small * 1.2));
        m_painter.drawText(QRectF(m_body.left(), m_body.bottom() - small, m_body.width(), small), Qt::AlignHCenter, footer);
        m_y = m_body.top() + small * 2;
        m_bottom = m_body.bottom() - small * 2;
    }

    std::function<void(QPainter &)> m_newPage;
    QPainter m_painter;
    QString m_lab;
    QString m_number;
    int m_total;
    int m_page = 1;
    QRectF m_body;
    double m_y = 0.0;
    double m_bottom = 0.0;
};

// The reference as the procedure names it (make, model, serial number) and as it answered *IDN?.
QString referenceIdentity(const procedure::Procedure &p, const record::Record &record)
{
    const procedure::Reference &reference = p.reference;
    QStringList named;
    for (const QString &part : {reference.make, reference.model})
        if (!part.isEmpty())
            named << part;
    QString identity = named.isEmpty() ? message(QT_TRANSLATE_NOOP("certificate", "a readout whose make and model the procedure does not give"))
                                       : named.join(QLatin1Char(' '));
    identity += reference.serialNumber.isEmpty() ? message(QT_TRANSLATE_NOOP("certificate", ", serial number not given"))
                                                 : message(QT_TRANSLATE_NOOP("certificate", ", serial number %1")).arg(reference.serialNumber);
    if (!record.referenceIdn.isEmpty())
        identity += message(QT_TRANSLATE_NOOP("certificate", ", identifying itself as \"%1\"")).arg(record.referenceIdn);
    return identity + message(QT_TRANSLATE_NOOP("certificate", ", read on %1")).arg(reference.port);
}

// What the correction does beyond the calibrated range, as the fit made the table.
QString beyondRange(const fit::SensorFit &sensor)
{
    if (sensor.holdLow == sensor.low && sensor.holdHigh == sensor.high)
        return message(QT_TRANSLATE_NOOP("certificate", "Beyond it the voltage correction is held at its value at the outer points."));
    return message(QT_TRANSLATE_NOOP("certificate", "Beyond it the voltage correction follows the fitted polynomial out to the next "
                                                    "table row (%1 K below, %2 K above) and is held at its value there, departing from "
                                                    "its value at the outer points by up to %3 mK."))
        .arg(sensor.holdLow).arg(sensor.holdHigh).arg(fixed(sensor.departureMk, 1));
}

QString ruleInWords(const procedure::Procedure &p)
{
    const QString unit = procedure::pointUnit(p.kind);
    if (p.rule == procedure::DecisionRule::Guarded)
        return message(QT_TRANSLATE_NOOP("certificate", "Guarded acceptance (ILAC-G8): a point passes when |error| + U <= %1 %2, "
                                                        "fails when |error| - U > %1 %2; otherwise it is a conditional pass "
                                                        "(|error| <= %1 %2) or a conditional fail. U is the expanded uncertainty "
                                                        "at a coverage probability of about 95 %."))
            .arg(p.tolerance).arg(unit);
    return message(QT_TRANSLATE_NOOP("certificate", "Simple acceptance (ILAC-G8, no guard band): a point passes when |error| <= %1 %2. "
                                                    "The uncertainty is stated but not taken into the decision; the risk of a "
                                                    "false accept can reach 50 % for a result at the tolerance."))
        .arg(p.tolerance).arg(unit);
}

void results(Pages &pages, const procedure::Procedure &p, const analysis::Analysis &analysed, analysis::Phase phase,
             bool predicted)
{
    const bool adc = p.kind == procedure::Kind::Adc;
    const QString unit = procedure::pointUnit(p.kind);
    QVector<double> expanded;
    for (const analysis::PointResult &point : analysed.points) {
        if (point.phase == phase)
            expanded.append(point.budget.expanded);
    }
    const stating::Unit stated = stating::unitFor(p.kind, expanded);
    // One tolerance, written alike on every row: at the finest decimal place of the table's U.
    const double finest = expanded.isEmpty() ? 0.0 : *std::min_element(expanded.cbegin(), expanded.cend());
    QVector<QStringList> rows;
    for (const analysis::PointResult &point : analysed.points) {
        if (point.phase != phase)
            continue;
        const double error = predicted ? analysis::predictedError(p, analysed, point) : point.error;
        const double u = point.budget.expanded;
        rows.append({QString::number(point.nominal), fixed(point.reference, adc ? 6 : 4),
                     fixed(predicted ? point.reference + error : point.instrument, adc ? 6 : 4),
                     stating::value(error, u, stated), stating::uncertainty(u, stated), fixed(point.budget.k, 2),
                     stating::limit(p.tolerance, finest, stated),
                     predicted ? message(QT_TRANSLATE_NOOP("certificate", "(not made)"))
                               : analysis::decisionText(analysis::decide(p.rule, error, u, p.tolerance))});
    }
    pages.table({message(QT_TRANSLATE_NOOP("certificate", "Nominal (%1)")).arg(unit),
                 message(QT_TRANSLATE_NOOP("certificate", "Reference (%1)")).arg(unit),
                 message(QT_TRANSLATE_NOOP("certificate", "Instrument (%1)")).arg(unit),
                 message(QT_TRANSLATE_NOOP("certificate", "Error (%1)")).arg(stated.symbol),
                 message(QT_TRANSLATE_NOOP("certificate", "U (%1)")).arg(stated.symbol), QStringLiteral("k"),
                 message(QT_TRANSLATE_NOOP("certificate", "Tolerance (%1)")).arg(stated.symbol),
                 message(QT_TRANSLATE_NOOP("certificate", "Decision"))},
                rows, {0.1, 0.14, 0.14, 0.11, 0.09, 0.06, 0.16, 0.2});
}

void budgets(Pages &pages, const procedure::Procedure &p, const analysis::Analysis &analysed)
{
    const QString unit = procedure::pointUnit(p.kind);
    for (const analysis::PointResult &point : analysed.points) {
        // Each point's U in the unit that shows its own two digits, and the combined
        // uncertainty beside it in the same unit.
        const stating::Unit stated = stating::unitFor(p.kind, {point.budget.expanded});
        pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "%1 %2, %3: combined standard uncertainty %4 %8, effective degrees of "
                                                                 "freedom %5, k = %6, U = %7 %8"))
                            .arg(point.nominal).arg(unit)
                            .arg(point.phase == analysis::Phase::AsLeft ? message(QT_TRANSLATE_NOOP("certificate", "as left"))
                                                                        : message(QT_TRANSLATE_NOOP("certificate", "as found")))
                            .arg(stating::inUnit(point.budget.combined, stated), 0, 'g', 3)
                            .arg(std::isfinite(point.budget.effectiveDof) ? QString::number(point.budget.effectiveDof, 'f', 1)
                                                                          : message(QT_TRANSLATE_NOOP("certificate", "infinite")))
                            .arg(fixed(point.budget.k, 2), stating::uncertainty(point.budget.expanded, stated), stated.symbol),
                        SmallPoints);
        QVector<QStringList> rows;
        for (const budget::Term &term : point.budget.terms) {
            rows.append({term.name, term.typeA ? QStringLiteral("A") : QStringLiteral("B"),
                         procedure::distributionName(term.distribution),
                         QStringLiteral("%1 %2").arg(term.value, 0, 'g', 3).arg(term.valueUnit), fixed(term.divisor, 3),
                         term.sensitivity == 1.0 ? QStringLiteral("1") : QStringLiteral("%1 K/V").arg(term.sensitivity, 0, 'g', 4),
                         QString::number(term.standard(), 'g', 3),
                         std::isfinite(term.dof) ? QString::number(term.dof) : QStringLiteral("inf")});
        }
        pages.table({message(QT_TRANSLATE_NOOP("certificate", "Component")), message(QT_TRANSLATE_NOOP("certificate", "Type")),
                     message(QT_TRANSLATE_NOOP("certificate", "Distribution")), message(QT_TRANSLATE_NOOP("certificate", "Value")),
                     message(QT_TRANSLATE_NOOP("certificate", "Divisor")), message(QT_TRANSLATE_NOOP("certificate", "Sensitivity")),
                     message(QT_TRANSLATE_NOOP("certificate", "u (%1)")).arg(unit), message(QT_TRANSLATE_NOOP("certificate", "DoF"))},
                    rows, {0.25, 0.06, 0.13, 0.14, 0.09, 0.13, 0.12, 0.08});
    }
}

void deviationPlot(Pages &pages, const procedure::Procedure &p, const analysis::Analysis &analysed, bool asLeftMeasured)
{
    const bool adc = p.kind == procedure::Kind::Adc;
    QVector<double> expanded;
    for (const analysis::PointResult &point : analysed.points)
        expanded.append(point.budget.expanded);
    const stating::Unit stated = stating::unitFor(p.kind, expanded);
    QVector<curveplot::Series> series;
    for (const analysis::Phase phase : {analysis::Phase::AsFound, analysis::Phase::AsLeft}) {
        curveplot::Series one;
        one.name = phase == analysis::Phase::AsFound ? message(QT_TRANSLATE_NOOP("certificate", "as found"))
                                                     : message(QT_TRANSLATE_NOOP("certificate", "as left"));
        for (const analysis::PointResult &point : analysed.points) {
            if (point.phase != phase)
                continue;
            one.points.append({stating::inUnit(point.error, stated), point.nominal});
            one.bars.append(stating::inUnit(point.budget.expanded, stated));
        }
        if (!one.points.isEmpty() || (phase == analysis::Phase::AsLeft && asLeftMeasured))
            series.append(one);
    }
    const curveplot::Titles titles{adc ? message(QT_TRANSLATE_NOOP("certificate", "Reference voltage (V)"))
                                       : message(QT_TRANSLATE_NOOP("certificate", "Temperature (K)")),
                                   message(QT_TRANSLATE_NOOP("certificate", "Error with U (%1)")).arg(stated.symbol)};
    pages.figure(pages.bodyHeight() * PlotHeightShare, [&](QPainter &painter, const QRectF &area) {
        painter.save();
        QFont font = painter.font();
        font.setPointSizeF(SmallPoints);
        painter.setFont(font);
        curveplot::draw(painter, area, series, curveplot::Mode::Errors, titles);
        painter.restore();
    });
}

// The whole certificate into `device`; the number of pages it took.
int render(QPaintDevice &device, const std::function<void(QPainter &)> &newPage, const record::Record &record, int total)
{
    const procedure::Parsed parsed = record::procedureOf(record);
    const procedure::Procedure &p = *parsed.procedure;
    const analysis::Analysis analysed = analysis::analyse(p, record.asFound, record.points);
    const QString hash = record::toJson(record).value(QStringLiteral("sha256")).toString();
    const bool adc = p.kind == procedure::Kind::Adc;
    const QString unit = procedure::pointUnit(p.kind);
    const bool written = record.asLeft.has_value();
    bool asLeftMeasured = false;
    for (const analysis::PointResult &point : analysed.points)
        asLeftMeasured = asLeftMeasured || point.phase == analysis::Phase::AsLeft;

    Pages pages(device, newPage, p.certificate.lab, p.certificate.number, total);
    if (!pages.ok())
        return 0;
    pages.title(message(QT_TRANSLATE_NOOP("certificate", "Calibration certificate")));
    pages.fields({{message(QT_TRANSLATE_NOOP("certificate", "Certificate number")), p.certificate.number},
                  {message(QT_TRANSLATE_NOOP("certificate", "Calibration laboratory")), p.certificate.lab},
                  {message(QT_TRANSLATE_NOOP("certificate", "Address")), p.certificate.address},
                  {message(QT_TRANSLATE_NOOP("certificate", "Customer")), p.certificate.customer},
                  {message(QT_TRANSLATE_NOOP("certificate", "Item calibrated")), p.certificate.item},
                  {message(QT_TRANSLATE_NOOP("certificate", "Instrument serial number")), record.serialNumber},
                  {message(QT_TRANSLATE_NOOP("certificate", "Instrument port")), record.port},
                  {message(QT_TRANSLATE_NOOP("certificate", "Calibrated")),
                   adc ? message(QT_TRANSLATE_NOOP("certificate", "the ADC constants (slope and intercept)"))
                       : message(QT_TRANSLATE_NOOP("certificate", "the sensor's calibration table"))},
                  {message(QT_TRANSLATE_NOOP("certificate", "Procedure")), p.certificate.procedure},
                  {message(QT_TRANSLATE_NOOP("certificate", "Date of calibration")),
                   QStringLiteral("%1 to %2").arg(record.started, record.finished)},
                  {message(QT_TRANSLATE_NOOP("certificate", "Date of issue")), QDate::currentDate().toString(Qt::ISODate)},
                  {message(QT_TRANSLATE_NOOP("certificate", "Performed by")), p.certificate.operatorName},
                  {message(QT_TRANSLATE_NOOP("certificate", "Ambient conditions")), p.certificate.ambient},
                  {message(QT_TRANSLATE_NOOP("certificate", "Software")), record.software}});

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Method and traceability")));
    const QVector<record::Deviation> deviations = record::deviations(record);
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Calibration by comparison with a reference %1 in the same %2. "
                                                             "At each point both were read every %3 s; a point counted as stable when "
                                                             "the readings spanned the last %4 s without a gap of more than three "
                                                             "intervals, and over them the least-squares slope of both stayed within %5 "
                                                             "%6/min, over the last third of them too, and their standard deviation "
                                                             "within %7 %6, with no reference value repeated for %8 s; then %9 paired "
                                                             "readings were taken. The error is the instrument's mean reading minus the "
                                                             "reference's."))
                        .arg(adc ? message(QT_TRANSLATE_NOOP("certificate", "voltmeter")) : message(QT_TRANSLATE_NOOP("certificate", "thermometer")),
                             adc ? message(QT_TRANSLATE_NOOP("certificate", "voltage source")) : message(QT_TRANSLATE_NOOP("certificate", "bath")))
                        .arg(p.stability.interval).arg(p.stability.window).arg(p.stability.slope).arg(unit).arg(p.stability.sd)
                        .arg(stability::staleSeconds(p.stability)).arg(p.stability.samples)
                    + (deviations.isEmpty() ? QString()
                                            : QLatin1Char(' ') + message(QT_TRANSLATE_NOOP("certificate", "Where the method was departed from, "
                                                                                                          "the deviations below say so."))));
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Traceability: the reference, %1, is calibrated by %2 under certificate "
                                                             "%3, expanded uncertainty %4 %5 (k = %6), due for recalibration on %7."))
                        .arg(referenceIdentity(p, record),
                             p.reference.certificate.issuer.isEmpty()
                                 ? message(QT_TRANSLATE_NOOP("certificate", "a laboratory the procedure does not name"))
                                 : p.reference.certificate.issuer,
                             p.reference.certificate.number, QString::number(p.reference.certificate.expandedUncertainty), unit,
                             QString::number(p.reference.certificate.k), p.reference.certificate.due.toString(Qt::ISODate)));
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Decision rule: %1")).arg(ruleInWords(p)));
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "The expanded uncertainty U is the combined standard uncertainty "
                                                             "multiplied by the coverage factor k from Student's t for a coverage "
                                                             "probability of 95.45 % at the effective degrees of freedom "
                                                             "(Welch-Satterthwaite), as the GUM sets out; U is rounded up to two "
                                                             "significant digits.")));

    if (!deviations.isEmpty()) {
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Deviations from the method")));
        QVector<QStringList> rows;
        for (const record::Deviation &deviation : deviations)
            rows.append({deviation.when, deviation.what, deviation.reason.isEmpty() ? message(QT_TRANSLATE_NOOP("certificate", "(none given)"))
                                                                                    : deviation.reason});
        pages.table({message(QT_TRANSLATE_NOOP("certificate", "When (UTC)")), message(QT_TRANSLATE_NOOP("certificate", "What happened")),
                     message(QT_TRANSLATE_NOOP("certificate", "Reason"))},
                    rows, {0.22, 0.5, 0.28});
    }

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Results as found")));
    results(pages, p, analysed, analysis::Phase::AsFound, false);

    if (written) {
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Adjustment made")));
    } else {
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Proposed adjustment (not made)")));
        pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "The adjustment below was computed but not sent to the instrument; "
                                                                 "the errors it would give at the points are predicted, not measured.")));
        results(pages, p, analysed, analysis::Phase::AsFound, true);
    }
    if (analysed.fitted && adc) {
        pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "ADC slope %1 V per count (was %2), intercept %3 V (was %4); "
                                                                 "least-squares line through %5 points."))
                            .arg(double(analysed.proposed.adcSlope), 0, 'g', 9).arg(double(record.asFound.adcSlope), 0, 'g', 9)
                            .arg(double(analysed.proposed.adcIntercept), 0, 'g', 9).arg(double(record.asFound.adcIntercept), 0, 'g', 9)
                            .arg(p.points.size()));
    } else if (analysed.fitted) {
        const fit::SensorFit &sensor = analysed.sensor;
        const QString base = p.curve ? message(QT_TRANSLATE_NOOP("certificate", "the sensor's curve %1 (%2 points, SHA-256 %3)"))
                                           .arg(p.curve->file, QString::number(p.curve->points.size()), p.curve->sha256)
                                     : message(QT_TRANSLATE_NOOP("certificate", "the instrument's present table"));
        const QString spacing = procedure::tableSpacing(p) == tablespacing::Spacing::Curvature
                                    ? message(QT_TRANSLATE_NOOP("certificate", "placed by the curve's curvature, so that the error of reading "
                                                                               "between rows is spread evenly"))
                                    : message(QT_TRANSLATE_NOOP("certificate", "at geometrically spaced temperatures"));
        pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "New calibration table: %1 rows from %2 K to %3 K, %4, from %5 "
                                                                 "corrected by the sensor's measured voltage offset (%6). Calibrated range: "
                                                                 "%7 K to %8 K. %9"))
                            .arg(QString::number(sensor.table.size()), QString::number(sensor.table.first().second),
                                 QString::number(sensor.table.last().second), spacing, base,
                                 sensor.degree > 0 ? message(QT_TRANSLATE_NOOP("certificate", "least-squares polynomial of degree %1")).arg(sensor.degree)
                                                   : message(QT_TRANSLATE_NOOP("certificate", "interpolated between the points")),
                                 QString::number(sensor.low), QString::number(sensor.high),
                                 beyondRange(sensor)
                                     + message(QT_TRANSLATE_NOOP("certificate", " Readings below the range change by up to %1 mK, above it by up "
                                                                                "to %2 mK. The table's linear interpolation stays within %3 mK of "
                                                                                "the fitted curve."))
                                           .arg(fixed(sensor.changeBelowMk, 1), fixed(sensor.changeAboveMk, 1), fixed(sensor.interpolationMk, 3))));
    }
    if (analysed.fitted) {
        const QString range = adc ? QStringLiteral("%1 V to %2 V").arg(*std::min_element(p.points.cbegin(), p.points.cend()))
                                        .arg(*std::max_element(p.points.cbegin(), p.points.cend()))
                                  : QStringLiteral("%1 K to %2 K").arg(analysed.sensor.low).arg(analysed.sensor.high);
        const int dof = adc ? analysed.adc.dof : analysed.sensor.dof;
        if (analysed.rangeEstablished) {
            const stating::Unit stated = stating::unitFor(p.kind, {analysed.range.expanded});
            const double standardError = adc ? analysed.adc.standardError : analysed.sensor.standardError;
            const stating::Unit volts = stating::unitFor(procedure::Kind::Adc, {standardError});
            pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Between the points: over the calibrated range (%1) a reading with the "
                                                                     "new %2 has an expanded uncertainty U = %3 %4 (k = %5), from the largest "
                                                                     "point uncertainty, the fit's standard error of %6 %7 (%8 degrees of "
                                                                     "freedom)%9."))
                                .arg(range, adc ? message(QT_TRANSLATE_NOOP("certificate", "constants")) : message(QT_TRANSLATE_NOOP("certificate", "table")),
                                     stating::uncertainty(analysed.range.expanded, stated), stated.symbol, fixed(analysed.range.k, 2),
                                     stating::uncertainty(standardError, volts), volts.symbol)
                                .arg(dof)
                                .arg(adc ? QString() : message(QT_TRANSLATE_NOOP("certificate", " and the table's interpolation"))));
        } else
            pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Between the points the uncertainty is not established: the fit has as "
                                                                     "many coefficients as there are points, so no degree of freedom is left to "
                                                                     "show how well it follows the %1 between them. The uncertainties above hold "
                                                                     "at the points only (%2)."))
                                .arg(adc ? message(QT_TRANSLATE_NOOP("certificate", "converter")) : message(QT_TRANSLATE_NOOP("certificate", "sensor")),
                                     range));
    }
    if (written) {
        pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Written to the instrument: %1. SHA-256 of the set as found %2, as left %3."))
                            .arg(record.writeOutcome, record::setHash(record.asFound), record::setHash(*record.asLeft)));
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Results as left")));
        results(pages, p, analysed, analysis::Phase::AsLeft, false);
    }

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Deviation")), pages.bodyHeight() * PlotHeightShare);
    deviationPlot(pages, p, analysed, asLeftMeasured);

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Uncertainty budgets")));
    budgets(pages, p, analysed);

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Record")));
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Every reading of both channels is kept in the calibration record, from "
                                                             "which '%1 verify-record' recomputes these results. Its SHA-256: %2"))
                        .arg(QStringLiteral("thermocal-cli"), hash));
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "The results relate only to the item calibrated. This certificate shall "
                                                             "not be reproduced except in full without the written approval of the laboratory.")));
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Authorised by: ______________________    Date: ____________")));
    pages.centred(message(QT_TRANSLATE_NOOP("certificate", "- End of certificate -")));
    return pages.pages();
}

} // namespace

namespace {

void setUp(QPdfWriter &writer, const procedure::Procedure &procedure)
{
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setResolution(Resolution);
    writer.setPageMargins(QMarginsF(MarginMm, MarginMm, MarginMm, MarginMm), QPageLayout::Millimeter);
    writer.setTitle(message(QT_TRANSLATE_NOOP("certificate", "Calibration certificate %1")).arg(procedure.certificate.number));
    writer.setCreator(QStringLiteral("thermocal"));
}

// A first pass into memory counts the pages, so every page can say "page X of Y".
int countPages(const record::Record &record, const procedure::Procedure &procedure)
{
    QBuffer counting;
    counting.open(QIODevice::WriteOnly);
    QPdfWriter writer(&counting);
    setUp(writer, procedure);
    return render(writer, [&writer](QPainter &) { writer.newPage(); }, record, 0);
}

} // namespace

QString writePdf(const QString &path, const record::Record &record)
{
    const procedure::Parsed parsed = record::procedureOf(record);
    if (!parsed.procedure)
        return message(QT_TRANSLATE_NOOP("certificate", "the record's procedure: %1")).arg(parsed.error.message);
    const int total = countPages(record, *parsed.procedure);
    if (total == 0)
        return message(QT_TRANSLATE_NOOP("certificate", "the certificate could not be drawn"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return message(QT_TRANSLATE_NOOP("certificate", "cannot write %1: %2")).arg(QDir::toNativeSeparators(path), file.errorString());
    {
        QPdfWriter writer(&file);
        setUp(writer, *parsed.procedure);
        render(writer, [&writer](QPainter &) { writer.newPage(); }, record, total);
    }
    if (file.error() != QFileDevice::NoError || !file.commit())
        return message(QT_TRANSLATE_NOOP("certificate", "cannot write %1: %2")).arg(QDir::toNativeSeparators(path), file.errorString());
    return QString();
}

QImage firstPage(const record::Record &record, int width)
{
    const procedure::Parsed parsed = record::procedureOf(record);
    if (!parsed.procedure || width <= 0)
        return QImage();
    const int total = countPages(record, *parsed.procedure);
    // The page's body at the PDF's resolution, so the text breaks where it does there.
    constexpr double MmPerInch = 25.4;
    const QSizeF pageMm = QPageSize(QPageSize::A4).size(QPageSize::Millimeter);
    const auto dots = [](double mm) { return int(std::lround(mm / MmPerInch * Resolution)); };
    const int dotsPerMetre = int(std::lround(Resolution / MmPerInch * 1000.0));
    const auto blank = [&](int w, int h) {
        QImage image(w, h, QImage::Format_RGB32);
        image.setDotsPerMeterX(dotsPerMetre);
        image.setDotsPerMeterY(dotsPerMetre);
        image.fill(Qt::white);
        return image;
    };
    QImage body = blank(dots(pageMm.width() - 2 * MarginMm), dots(pageMm.height() - 2 * MarginMm));
    QImage scratch = blank(body.width(), body.height());
    render(body, [&scratch](QPainter &painter) {
        painter.end();
        painter.begin(&scratch);
    }, record, total);
    QImage page = blank(dots(pageMm.width()), dots(pageMm.height()));
    {
        QPainter painter(&page);
        painter.drawImage(dots(MarginMm), dots(MarginMm), body);
    }
    return page.scaledToWidth(width, Qt::SmoothTransformation);
}

} // namespace certificate

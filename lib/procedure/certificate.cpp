#include "certificate.h"

#include "certificatepages.h"
#include "curveplot.h"
#include "dcc.h"
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
constexpr double PlotHeightShare = 0.38; // of the body's height

QString message(const char *text)
{
    return QCoreApplication::translate("certificate", text);
}

QString fixed(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("-");
}

void results(Pages &pages, const procedure::Procedure &p, const ResultTable &table)
{
    const bool adc = p.kind == procedure::Kind::Adc;
    const QString unit = procedure::pointUnit(p.kind);
    const stating::Unit &stated = table.stated;
    QVector<QStringList> rows;
    for (const StatedRow &row : table.rows) {
        rows.append({QString::number(row.nominal), fixed(row.reference, adc ? 6 : 4), fixed(row.instrument, adc ? 6 : 4),
                     stating::value(row.error, row.expanded, stated), stating::uncertainty(row.expanded, stated), fixed(row.k, 2),
                     stating::limit(p.tolerance, table.finest, stated),
                     table.predicted ? message(QT_TRANSLATE_NOOP("certificate", "(not made)")) : analysis::decisionText(row.decision)});
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

// The whole certificate into `device`; the number of pages it took. It lays out the document
// and computes nothing.
int render(QPaintDevice &device, const std::function<void(QPainter &)> &newPage, const Document &d, int total)
{
    const procedure::Procedure &p = d.procedure;
    const Sentences &said = d.sentences;

    Pages pages(device, newPage, p.certificate.lab, p.certificate.number, total);
    if (!pages.ok())
        return 0;
    pages.title(message(QT_TRANSLATE_NOOP("certificate", "Calibration certificate")));
    pages.fields({{message(QT_TRANSLATE_NOOP("certificate", "Certificate number")), p.certificate.number},
                  {message(QT_TRANSLATE_NOOP("certificate", "Calibration laboratory")), p.certificate.lab},
                  {message(QT_TRANSLATE_NOOP("certificate", "Address")), p.certificate.address},
                  {message(QT_TRANSLATE_NOOP("certificate", "Customer")), p.certificate.customer},
                  {message(QT_TRANSLATE_NOOP("certificate", "Item calibrated")), p.certificate.item},
                  {message(QT_TRANSLATE_NOOP("certificate", "Instrument serial number")), d.serialNumber},
                  {message(QT_TRANSLATE_NOOP("certificate", "Instrument port")), d.port},
                  {message(QT_TRANSLATE_NOOP("certificate", "Calibrated")), said.calibrated},
                  {message(QT_TRANSLATE_NOOP("certificate", "Procedure")), p.certificate.procedure},
                  {message(QT_TRANSLATE_NOOP("certificate", "Date of calibration")), QStringLiteral("%1 to %2").arg(d.started, d.finished)},
                  {message(QT_TRANSLATE_NOOP("certificate", "Date of issue")), d.issued.toString(Qt::ISODate)},
                  {message(QT_TRANSLATE_NOOP("certificate", "Performed by")), p.certificate.operatorName},
                  {message(QT_TRANSLATE_NOOP("certificate", "Ambient conditions")), p.certificate.ambient},
                  {message(QT_TRANSLATE_NOOP("certificate", "Software")), d.software}});

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Method and traceability")));
    pages.paragraph(said.method);
    pages.paragraph(said.traceability);
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Decision rule: %1")).arg(said.rule));
    pages.paragraph(said.uncertainty);

    if (!d.deviations.isEmpty()) {
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Deviations from the method")));
        QVector<QStringList> rows;
        for (const record::Deviation &deviation : d.deviations)
            rows.append({deviation.when, deviation.what, deviation.reason.isEmpty() ? message(QT_TRANSLATE_NOOP("certificate", "(none given)"))
                                                                                    : deviation.reason});
        pages.table({message(QT_TRANSLATE_NOOP("certificate", "When (UTC)")), message(QT_TRANSLATE_NOOP("certificate", "What happened")),
                     message(QT_TRANSLATE_NOOP("certificate", "Reason"))},
                    rows, {0.22, 0.5, 0.28});
    }

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Results as found")));
    results(pages, p, d.found);

    if (d.written) {
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Adjustment made")));
    } else {
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Proposed adjustment (not made)")));
        pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "The adjustment below was computed but not sent to the instrument; "
                                                                 "the errors it would give at the points are predicted, not measured.")));
        results(pages, p, d.predicted);
    }
    for (const QString &sentence : {said.adjustment, said.betweenPoints})
        if (!sentence.isEmpty())
            pages.paragraph(sentence);
    if (d.written) {
        pages.paragraph(said.written);
        pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Results as left")));
        results(pages, p, d.left);
    }

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Deviation")), pages.bodyHeight() * PlotHeightShare);
    deviationPlot(pages, p, d.analysis, d.asLeftMeasured);

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Uncertainty budgets")));
    budgets(pages, p, d.analysis);

    pages.heading(message(QT_TRANSLATE_NOOP("certificate", "Record")));
    pages.paragraph(message(QT_TRANSLATE_NOOP("certificate", "Every reading of both channels is kept in the calibration record, from "
                                                             "which '%1 verify-record' recomputes these results. Its SHA-256: %2"))
                        .arg(QStringLiteral("thermocal-cli"), d.hash));
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
int countPages(const Document &document)
{
    QBuffer counting;
    counting.open(QIODevice::WriteOnly);
    QPdfWriter writer(&counting);
    setUp(writer, document.procedure);
    return render(writer, [&writer](QPainter &) { writer.newPage(); }, document, 0);
}

} // namespace

QString writePdf(const QString &path, const record::Record &record)
{
    const Built built = build(record);
    if (!built.document)
        return built.error.message;
    return writePdf(path, *built.document);
}

QString writePdf(const QString &path, const Document &document, const QByteArray &dcc)
{
    const int total = countPages(document);
    if (total == 0)
        return message(QT_TRANSLATE_NOOP("certificate", "the certificate could not be drawn"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return message(QT_TRANSLATE_NOOP("certificate", "cannot write %1: %2")).arg(QDir::toNativeSeparators(path), file.errorString());
    {
        QPdfWriter writer(&file);
        setUp(writer, document.procedure);
        if (!dcc.isEmpty())
            writer.addFileAttachment(dcc::fileName(document), dcc, QStringLiteral("application/xml"));
        render(writer, [&writer](QPainter &) { writer.newPage(); }, document, total);
    }
    if (file.error() != QFileDevice::NoError || !file.commit())
        return message(QT_TRANSLATE_NOOP("certificate", "cannot write %1: %2")).arg(QDir::toNativeSeparators(path), file.errorString());
    return QString();
}

QImage firstPage(const record::Record &record, int width)
{
    const Built built = build(record);
    if (!built.document)
        return QImage();
    return firstPage(*built.document, width);
}

QImage firstPage(const Document &document, int width)
{
    if (width <= 0)
        return QImage();
    const int total = countPages(document);
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
    }, document, total);
    QImage page = blank(dots(pageMm.width()), dots(pageMm.height()));
    {
        QPainter painter(&page);
        painter.drawImage(dots(MarginMm), dots(MarginMm), body);
    }
    return page.scaledToWidth(width, Qt::SmoothTransformation);
}

} // namespace certificate

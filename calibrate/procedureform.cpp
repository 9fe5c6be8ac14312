#include "procedureform.h"

#include "formjson.h"
#include "procedurefile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

namespace {

const QString MarkedStyle = QStringLiteral("background: #ffd8d8;");
const QString DateFormat = QStringLiteral("yyyy-MM-dd");

} // namespace

using formjson::at;
using formjson::cellNumber;
using formjson::put;
using formjson::shown;

ProcedureForm::ProcedureForm(QWidget *parent)
    : QWidget(parent)
    , m_kind(new QComboBox(this))
    , m_points(new QTableWidget(0, 2, this))
    , m_referencePort(nullptr)
    , m_query(nullptr)
    , m_unit(new QComboBox(this))
    , m_identify(new QCheckBox(tr("Record its *&IDN? answer"), this))
    , m_referenceTest(new QLabel(this))
    , m_due(new QDateEdit(this))
    , m_source(new QGroupBox(tr("&Source: a bath, dry-well or voltage calibrator"), this))
    , m_rule(new QComboBox(this))
    , m_components(new QTableWidget(0, 4, this))
{
    auto *columns = new QHBoxLayout(this);
    auto *left = new QVBoxLayout;
    auto *right = new QVBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    auto *what = new QGroupBox(tr("What is calibrated"), this);
    auto *whatForm = new QFormLayout(what);
    m_kind->addItem(tr("the sensor's table (points in K)"), QStringLiteral("sensor"));
    m_kind->addItem(tr("the ADC constants (points in V)"), QStringLiteral("adc"));
    m_kind->setObjectName(QStringLiteral("cbKind"));
    whatForm->addRow(tr("&Kind:"), m_kind);
    m_points->setObjectName(QStringLiteral("twPoints"));
    m_points->setHorizontalHeaderLabels({tr("Nominal"), tr("Again as left")});
    m_points->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_points->setMinimumHeight(120);
    whatForm->addRow(tr("&Points:"), m_points);
    auto *pointButtons = new QHBoxLayout;
    auto *addPoint = new QPushButton(tr("&Add point"), this);
    auto *removePoint = new QPushButton(tr("Re&move point"), this);
    pointButtons->addWidget(addPoint);
    pointButtons->addWidget(removePoint);
    whatForm->addRow(QString(), pointButtons);
    connect(addPoint, &QPushButton::clicked, this, [this] { addPointRow(QString(), true); });
    connect(removePoint, &QPushButton::clicked, this, [this] {
        if (m_points->currentRow() >= 0)
            m_points->removeRow(m_points->currentRow());
    });
    whatForm->addRow(tr("&Fit degree:"), line(QStringLiteral("fit.degree"), tr("fit degree")));
    m_fields.value(QStringLiteral("fit.degree"))->setToolTip(tr("Empty: the smaller of 3 and the points less two."));
    auto *curve = line(QStringLiteral("curve"), tr("sensor curve"));
    curve->setToolTip(tr("The sensor's own curve file, which the new table starts from (any format the import reads); "
                         "empty: the instrument's present table."));
    auto *curveRow = new QHBoxLayout;
    curveRow->addWidget(curve);
    auto *browse = new QPushButton(tr("Browse..."), this);
    browse->setObjectName(QStringLiteral("pbCurve"));
    curveRow->addWidget(browse);
    connect(browse, &QPushButton::clicked, this, [this, curve] {
        const QString path = QFileDialog::getOpenFileName(this, tr("Sensor curve"), curve->text(),
                                                          tr("Curve files (*.340 *.txt *.csv *.dat);;All files (*)"));
        if (!path.isEmpty())
            curve->setText(QDir::toNativeSeparators(path));
    });
    whatForm->addRow(tr("Sensor curve:"), curveRow);
    auto *spacing = line(QStringLiteral("table.spacing"), tr("table spacing"));
    spacing->setPlaceholderText(tr("curvature or geometric"));
    spacing->setToolTip(tr("Where the table's 100 rows go: by the curve's curvature (the default with a curve) or geometrically "
                           "(the default without)."));
    whatForm->addRow(tr("Table rows:"), spacing);
    left->addWidget(what);

    auto *reference = new QGroupBox(tr("Reference"), this);
    auto *referenceForm = new QFormLayout(reference);
    m_referencePort = line(QStringLiteral("reference.port"), tr("reference port"));
    m_referencePort->setToolTip(tr("socket://HOST:PORT, a serial port, or \"manual\" to type each reading."));
    auto *portRow = new QHBoxLayout;
    portRow->addWidget(m_referencePort);
    auto *test = new QPushButton(tr("&Test"), this);
    test->setObjectName(QStringLiteral("pbTestReference"));
    portRow->addWidget(test);
    connect(test, &QPushButton::clicked, this, &ProcedureForm::testReference);
    auto *portLabel = new QLabel(tr("P&ort:"), this);
    portLabel->setBuddy(m_referencePort);
    referenceForm->addRow(portLabel, portRow);
    m_referenceTest->setObjectName(QStringLiteral("lbReferenceTest"));
    m_referenceTest->setWordWrap(true);
    m_referenceTest->setTextInteractionFlags(Qt::TextSelectableByMouse);
    referenceForm->addRow(QString(), m_referenceTest);
    m_query = line(QStringLiteral("reference.query"), tr("query"));
    m_query->setPlaceholderText(QStringLiteral("MEAS:TEMP?"));
    referenceForm->addRow(tr("&Query:"), m_query);
    m_unit->addItems({QStringLiteral("K"), QStringLiteral("C"), QStringLiteral("V")});
    referenceForm->addRow(tr("&Unit:"), m_unit);
    referenceForm->addRow(QString(), m_identify);
    referenceForm->addRow(tr("Make:"), line(QStringLiteral("reference.make"), tr("reference make")));
    referenceForm->addRow(tr("Model:"), line(QStringLiteral("reference.model"), tr("reference model")));
    referenceForm->addRow(tr("Serial number:"), line(QStringLiteral("reference.serial_number"), tr("reference serial number")));
    auto *pattern = line(QStringLiteral("reference.pattern"), tr("answer pattern"));
    pattern->setToolTip(tr("Empty for the usual answers; a regular expression whose group (?<value>...) is the reading "
                           "for an odd readout."));
    referenceForm->addRow(tr("Answer pattern:"), pattern);
    referenceForm->addRow(tr("Certificate number:"), line(QStringLiteral("reference.certificate.number"), tr("reference certificate number")));
    referenceForm->addRow(tr("Certificate issuer:"), line(QStringLiteral("reference.certificate.issuer"), tr("certificate issuer")));
    referenceForm->addRow(tr("Certificate SHA-256:"), line(QStringLiteral("reference.certificate.sha256"), tr("certificate SHA-256")));
    referenceForm->addRow(tr("E&xpanded uncertainty:"),
                          line(QStringLiteral("reference.certificate.expanded_uncertainty"), tr("expanded uncertainty")));
    referenceForm->addRow(tr("Coverage factor k:"), line(QStringLiteral("reference.certificate.k"), tr("k")));
    m_due->setDisplayFormat(DateFormat);
    m_due->setCalendarPopup(true);
    m_due->setDate(QDate::currentDate().addYears(1));
    m_due->setObjectName(QStringLiteral("deDue"));
    m_fields.insert(QStringLiteral("reference.certificate.due"), m_due);
    referenceForm->addRow(tr("&Due:"), m_due);
    referenceForm->addRow(tr("Drift (half-width):"), line(QStringLiteral("reference.drift"), tr("drift")));
    referenceForm->addRow(tr("Resolution:"), line(QStringLiteral("reference.resolution"), tr("resolution")));
    left->addWidget(reference);

    m_source->setCheckable(true);
    m_source->setChecked(false);
    m_source->setObjectName(QStringLiteral("gbSource"));
    auto *sourceForm = new QFormLayout(m_source);
    sourceForm->addRow(tr("Port:"), line(QStringLiteral("source.port"), tr("source port")));
    auto *set = line(QStringLiteral("source.set"), tr("set command"));
    set->setPlaceholderText(QStringLiteral("SOUR:SPO {C}"));
    sourceForm->addRow(tr("Set command:"), set);
    sourceForm->addRow(tr("Settle (s):"), line(QStringLiteral("source.settle"), tr("settle")));
    left->addWidget(m_source);

    auto *stability = new QGroupBox(tr("Stability and decision"), this);
    auto *stabilityForm = new QFormLayout(stability);
    stabilityForm->addRow(tr("&Interval (s):"), line(QStringLiteral("stability.interval"), tr("interval")));
    stabilityForm->addRow(tr("&Window (s):"), line(QStringLiteral("stability.window"), tr("window")));
    stabilityForm->addRow(tr("Slope limit (per min):"), line(QStringLiteral("stability.slope"), tr("slope limit")));
    stabilityForm->addRow(tr("SD limit:"), line(QStringLiteral("stability.sd"), tr("SD limit")));
    stabilityForm->addRow(tr("Samples:"), line(QStringLiteral("stability.samples"), tr("samples")));
    stabilityForm->addRow(tr("Timeout (s):"), line(QStringLiteral("stability.timeout"), tr("timeout")));
    stabilityForm->addRow(tr("Stale after (s):"), line(QStringLiteral("stability.stale"), tr("stale time")));
    stabilityForm->addRow(tr("Reading bound:"), line(QStringLiteral("bounds.reading"), tr("reading bound")));
    stabilityForm->addRow(tr("Adjustment bound:"), line(QStringLiteral("bounds.adjustment"), tr("adjustment bound")));
    m_fields.value(QStringLiteral("bounds.reading"))->setToolTip(tr("How far the reference may read from a point's nominal value; empty: 10 K (0.1 V)."));
    m_fields.value(QStringLiteral("bounds.adjustment"))->setToolTip(tr("How far the new set may move a reading at a point; empty: 10 K (0.05 V)."));
    stabilityForm->addRow(tr("To&lerance:"), line(QStringLiteral("tolerance"), tr("tolerance")));
    m_rule->addItem(tr("simple: pass when |error| <= tolerance"), QStringLiteral("simple"));
    m_rule->addItem(tr("guarded: pass when |error| + U <= tolerance"), QStringLiteral("guarded"));
    stabilityForm->addRow(tr("Decision &rule:"), m_rule);
    right->addWidget(stability);

    auto *components = new QGroupBox(tr("Further uncertainty components"), this);
    auto *componentsLayout = new QVBoxLayout(components);
    m_components->setObjectName(QStringLiteral("twComponents"));
    m_components->setHorizontalHeaderLabels({tr("Name"), tr("Value"), tr("Distribution"), tr("k")});
    m_components->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_components->setMinimumHeight(90);
    m_components->setToolTip(tr("Distribution: normal (value is U with its k), rectangular or u-shaped (value is the half-width)."));
    componentsLayout->addWidget(m_components);
    auto *componentButtons = new QHBoxLayout;
    auto *addComponent = new QPushButton(tr("Add &component"), this);
    auto *removeComponent = new QPushButton(tr("R&emove component"), this);
    componentButtons->addWidget(addComponent);
    componentButtons->addWidget(removeComponent);
    componentsLayout->addLayout(componentButtons);
    connect(addComponent, &QPushButton::clicked, this,
            [this] { addComponentRow(QString(), QString(), QStringLiteral("rectangular"), QString()); });
    connect(removeComponent, &QPushButton::clicked, this, [this] {
        if (m_components->currentRow() >= 0)
            m_components->removeRow(m_components->currentRow());
    });
    right->addWidget(components);

    auto *texts = new QGroupBox(tr("Certificate"), this);
    auto *textsForm = new QFormLayout(texts);
    textsForm->addRow(tr("Num&ber:"), line(QStringLiteral("certificate.number"), tr("certificate number")));
    textsForm->addRow(tr("Lab:"), line(QStringLiteral("certificate.lab"), tr("lab")));
    textsForm->addRow(tr("Address:"), line(QStringLiteral("certificate.address"), tr("address")));
    textsForm->addRow(tr("Customer:"), line(QStringLiteral("certificate.customer"), tr("customer")));
    textsForm->addRow(tr("Item:"), line(QStringLiteral("certificate.item"), tr("item")));
    textsForm->addRow(tr("Procedure:"), line(QStringLiteral("certificate.procedure"), tr("procedure")));
    textsForm->addRow(tr("Operator:"), line(QStringLiteral("certificate.operator"), tr("operator")));
    textsForm->addRow(tr("Ambient:"), line(QStringLiteral("certificate.ambient"), tr("ambient")));
    textsForm->addRow(tr("City:"), line(QStringLiteral("certificate.city"), tr("city")));
    textsForm->addRow(tr("Country:"), line(QStringLiteral("certificate.country"), tr("country (ISO 3166-1, two letters)")));
    textsForm->addRow(tr("Language:"), line(QStringLiteral("certificate.language"), tr("language (ISO 639-1, two letters)")));
    right->addWidget(texts);
    right->addStretch();
    left->addStretch();
}

QLineEdit *ProcedureForm::line(const QString &member, const QString &name)
{
    auto *edit = new QLineEdit(this);
    edit->setObjectName(QStringLiteral("le_") + QString(member).replace(QLatin1Char('.'), QLatin1Char('_')));
    edit->setAccessibleName(name);
    m_fields.insert(member, edit);
    connect(edit, &QLineEdit::textEdited, this, [this, edit] {
        edit->setStyleSheet(QString());
        edit->setToolTip(QString());
        m_marked.removeAll(edit);
    });
    return edit;
}

void ProcedureForm::addPointRow(const QString &value, bool asLeft)
{
    const int row = m_points->rowCount();
    m_points->insertRow(row);
    m_points->setItem(row, 0, new QTableWidgetItem(value));
    auto *check = new QTableWidgetItem;
    check->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    check->setCheckState(asLeft ? Qt::Checked : Qt::Unchecked);
    m_points->setItem(row, 1, check);
}

void ProcedureForm::addComponentRow(const QString &name, const QString &value, const QString &distribution, const QString &k)
{
    const int row = m_components->rowCount();
    m_components->insertRow(row);
    const QStringList cells{name, value, distribution, k};
    for (int column = 0; column < cells.size(); ++column)
        m_components->setItem(row, column, new QTableWidgetItem(cells.at(column)));
}

void ProcedureForm::setProcedure(const QJsonObject &object)
{
    clearMarks();
    m_kind->setCurrentIndex(qMax(0, m_kind->findData(object.value(QStringLiteral("kind")).toString())));
    m_points->setRowCount(0);
    const QJsonArray points = object.value(QStringLiteral("points")).toArray();
    const bool allAgain = !object.contains(QStringLiteral("as_left_points"));
    const QJsonArray again = object.value(QStringLiteral("as_left_points")).toArray();
    for (const QJsonValue &point : points)
        addPointRow(shown(point), allAgain || again.contains(point));
    for (auto field = m_fields.cbegin(); field != m_fields.cend(); ++field) {
        if (auto *edit = qobject_cast<QLineEdit *>(field.value()))
            edit->setText(shown(at(object, field.key())));
    }
    const int unit = m_unit->findText(at(object, QStringLiteral("reference.unit")).toString());
    m_unit->setCurrentIndex(unit >= 0 ? unit : m_kind->currentData() == QStringLiteral("adc") ? 2 : 0);
    m_identify->setChecked(at(object, QStringLiteral("reference.identify")).toBool());
    const QDate due = QDate::fromString(at(object, QStringLiteral("reference.certificate.due")).toString(), Qt::ISODate);
    if (due.isValid())
        m_due->setDate(due);
    m_source->setChecked(object.contains(QStringLiteral("source")));
    m_rule->setCurrentIndex(qMax(0, m_rule->findData(object.value(QStringLiteral("decision_rule")).toString())));
    m_components->setRowCount(0);
    for (const QJsonValue &one : object.value(QStringLiteral("uncertainty")).toArray()) {
        const QJsonObject component = one.toObject();
        addComponentRow(component.value(QStringLiteral("name")).toString(), shown(component.value(QStringLiteral("value"))),
                        component.value(QStringLiteral("distribution")).toString(QStringLiteral("normal")),
                        shown(component.value(QStringLiteral("k"))));
    }
}

void ProcedureForm::mark(QWidget *field, const QString &problem)
{
    field->setStyleSheet(MarkedStyle);
    field->setToolTip(problem);
    field->setFocus();
    m_marked.append(field);
}

void ProcedureForm::clearMarks()
{
    for (QWidget *field : qAsConst(m_marked)) {
        field->setStyleSheet(QString());
        field->setToolTip(QString());
    }
    m_marked.clear();
}

std::optional<QJsonObject> ProcedureForm::procedure(QString *error)
{
    clearMarks();
    const auto refuse = [this, error](QWidget *field, const QString &problem) {
        mark(field, problem);
        *error = problem;
        return std::nullopt;
    };
    QJsonObject object;
    object.insert(QStringLiteral("kind"), m_kind->currentData().toString());
    QJsonArray points;
    QJsonArray again;
    for (int row = 0; row < m_points->rowCount(); ++row) {
        const QString text = m_points->item(row, 0) ? m_points->item(row, 0)->text() : QString();
        const std::optional<double> value = cellNumber(text);
        if (!value) {
            m_points->setCurrentCell(row, 0);
            return refuse(m_points, tr("Point %1: '%2' is not a number.").arg(row + 1).arg(text));
        }
        points.append(*value);
        if (m_points->item(row, 1)->checkState() == Qt::Checked)
            again.append(*value);
    }
    object.insert(QStringLiteral("points"), points);
    if (again.size() != points.size())
        object.insert(QStringLiteral("as_left_points"), again);

    for (auto field = m_fields.cbegin(); field != m_fields.cend(); ++field) {
        auto *edit = qobject_cast<QLineEdit *>(field.value());
        if (!edit || edit->text().trimmed().isEmpty())
            continue;
        if (field.key().startsWith(QLatin1String("source.")) && !m_source->isChecked())
            continue;
        const QStringList path = field.key().split(QLatin1Char('.'));
        if (!formjson::holdsNumber(field.key())) {
            put(object, path, edit->text().trimmed());
            continue;
        }
        const std::optional<double> value = cellNumber(edit->text());
        if (!value)
            return refuse(edit, tr("%1: '%2' is not a number.").arg(edit->accessibleName(), edit->text()));
        put(object, path, *value);
    }
    put(object, {QStringLiteral("reference"), QStringLiteral("unit")}, m_unit->currentText());
    if (m_identify->isChecked())
        put(object, {QStringLiteral("reference"), QStringLiteral("identify")}, true);
    put(object, {QStringLiteral("reference"), QStringLiteral("certificate"), QStringLiteral("due")}, m_due->date().toString(Qt::ISODate));
    if (m_source->isChecked() && !object.contains(QStringLiteral("source")))
        object.insert(QStringLiteral("source"), QJsonObject());
    object.insert(QStringLiteral("decision_rule"), m_rule->currentData().toString());
    QJsonArray components;
    for (int row = 0; row < m_components->rowCount(); ++row) {
        const auto cell = [this, row](int column) {
            return m_components->item(row, column) ? m_components->item(row, column)->text().trimmed() : QString();
        };
        QJsonObject component{{QStringLiteral("name"), cell(0)}, {QStringLiteral("distribution"), cell(2)}};
        for (const auto &number : {qMakePair(1, QStringLiteral("value")), qMakePair(3, QStringLiteral("k"))}) {
            if (cell(number.first).isEmpty() && number.first == 3)
                continue;
            const std::optional<double> value = cellNumber(cell(number.first));
            if (!value) {
                m_components->setCurrentCell(row, number.first);
                return refuse(m_components, tr("Component %1, %2: '%3' is not a number.").arg(row + 1).arg(number.second, cell(number.first)));
            }
            component.insert(number.second, *value);
        }
        components.append(component);
    }
    if (!components.isEmpty())
        object.insert(QStringLiteral("uncertainty"), components);

    // The library's own reading decides; its error names the member, whose field is marked.
    const procedure::Parsed parsed = procedure::parse(object);
    if (!parsed.procedure)
        return refuse(fieldOf(parsed.error.member), parsed.error.message);
    return object;
}

QWidget *ProcedureForm::fieldOf(const QString &member) const
{
    const QString field = formjson::fieldFor(m_fields.keys(), member);
    if (!field.isEmpty())
        return m_fields.value(field);
    if (member.startsWith(QLatin1String("uncertainty")))
        return m_components;
    if (member.startsWith(QLatin1String("source")))
        return m_source;
    return m_points;
}

void ProcedureForm::showReferenceTest(const QString &text, bool ok)
{
    m_referenceTest->setText(text);
    m_referenceTest->setStyleSheet(ok ? QString() : QStringLiteral("color: #b00000;"));
}

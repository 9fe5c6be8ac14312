// The form built by Ui_Widget::setupUi: its members, object tree, texts, table, layouts,
// spacers, slot connections by name, and how the layouts behave when the window grows.

#include "ui_widget.h"

#include <QtTest>

#include <QBoxLayout>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

constexpr int MemberCount = 40;

// Accessors for every member of Ui_Widget, so tests can reach a member by its name.
struct FormMember
{
    const char *name;
    std::size_t offset;
    const char *declaredClass;
    QObject *(*object)(const Ui_Widget &);
    QSpacerItem *(*spacer)(const Ui_Widget &);
};

template <typename T>
const char *declaredClassName()
{
    if constexpr (std::is_same_v<T, QSpacerItem>)
        return "QSpacerItem";
    else
        return T::staticMetaObject.className();
}

QObject *asObject(QObject *object) { return object; }
QObject *asObject(QSpacerItem *) { return nullptr; }
QSpacerItem *asSpacer(QSpacerItem *spacer) { return spacer; }
QSpacerItem *asSpacer(QObject *) { return nullptr; }

// offsetof needs a standard-layout class; Ui_Widget is one (public pointers only).
static_assert(std::is_standard_layout_v<Ui_Widget>);

#define FORM_MEMBER(m)                                                              \
    FormMember                                                                      \
    {                                                                               \
        #m, offsetof(Ui_Widget, m),                                                 \
            declaredClassName<std::remove_pointer_t<decltype(Ui_Widget::m)>>(),     \
            [](const Ui_Widget &form) { return asObject(form.m); },                 \
            [](const Ui_Widget &form) { return asSpacer(form.m); }                  \
    }

const std::vector<FormMember> &formMembers()
{
    static const std::vector<FormMember> members = {
        FORM_MEMBER(verticalLayout),   FORM_MEMBER(tabWidget),
        FORM_MEMBER(tab),              FORM_MEMBER(verticalLayout_2),
        FORM_MEMBER(formLayout),       FORM_MEMBER(label),
        FORM_MEMBER(leTemperature),    FORM_MEMBER(label_2),
        FORM_MEMBER(leVoltage),        FORM_MEMBER(verticalSpacer),
        FORM_MEMBER(horizontalLayout), FORM_MEMBER(horizontalSpacer),
        FORM_MEMBER(pbUpdateData),     FORM_MEMBER(tab_2),
        FORM_MEMBER(verticalLayout_4), FORM_MEMBER(horizontalLayout_4),
        FORM_MEMBER(groupBox_2),       FORM_MEMBER(formLayout_3),
        FORM_MEMBER(label_5),          FORM_MEMBER(leADCslope),
        FORM_MEMBER(label_6),          FORM_MEMBER(leADCintercept),
        FORM_MEMBER(groupBox),         FORM_MEMBER(formLayout_2),
        FORM_MEMBER(label_3),          FORM_MEMBER(leDACslope),
        FORM_MEMBER(label_4),          FORM_MEMBER(leDACintercept),
        FORM_MEMBER(horizontalLayout_3), FORM_MEMBER(twTableData),
        FORM_MEMBER(verticalLayout_3), FORM_MEMBER(pbOpenTable),
        FORM_MEMBER(pbLoad),           FORM_MEMBER(pbSave),
        FORM_MEMBER(verticalSpacer_2), FORM_MEMBER(horizontalLayout_2),
        FORM_MEMBER(horizontalSpacer_2), FORM_MEMBER(pbGetConstants),
        FORM_MEMBER(pbSetConstants),   FORM_MEMBER(pbWriteEeprom),
    };
    return members;
}

#undef FORM_MEMBER

const FormMember *findMember(const QString &name)
{
    for (const FormMember &member : formMembers()) {
        if (name == QLatin1String(member.name))
            return &member;
    }
    return nullptr;
}

// The names of the form's QObject members (everything except the spacer items).
QSet<QString> formObjectNames()
{
    QSet<QString> names;
    for (const FormMember &member : formMembers()) {
        if (std::strcmp(member.declaredClass, "QSpacerItem") != 0)
            names.insert(QString::fromLatin1(member.name));
    }
    return names;
}

// A plain window with the form built on it, as the window class does it.
struct Form
{
    QWidget window;
    Ui_Widget ui;

    Form() { ui.setupUi(&window); }

    // The window for "Widget", otherwise the member of that name (null for spacers).
    QObject *object(const QString &name)
    {
        if (name == QLatin1String("Widget"))
            return &window;
        const FormMember *member = findMember(name);
        return member ? member->object(ui) : nullptr;
    }

    template <typename T>
    T *get(const QString &name)
    {
        return qobject_cast<T *>(object(name));
    }

    QSpacerItem *spacer(const QString &name)
    {
        const FormMember *member = findMember(name);
        return member ? member->spacer(ui) : nullptr;
    }

    void showAt(const QSize &size)
    {
        window.resize(size);
        window.show();
    }
};

// Qt's own parts of a widget (tab bar, page stack, scroll area viewport, ...) carry names
// starting with "qt_"; everything inside them is internal as well.
bool isQtInternal(QObject *object, const QObject *window)
{
    for (; object && object != window; object = object->parent()) {
        if (object->objectName().startsWith(QLatin1String("qt_")))
            return true;
    }
    return false;
}

// Pending layout requests and deferred header resizes, so geometry reflects the last change.
void settleLayouts()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents();
}

// A widget of the given class as its constructor leaves it, to compare untouched settings.
std::unique_ptr<QWidget> freshWidget(const QByteArray &className)
{
    if (className == "QLabel")
        return std::make_unique<QLabel>();
    if (className == "QLineEdit")
        return std::make_unique<QLineEdit>();
    if (className == "QPushButton")
        return std::make_unique<QPushButton>();
    if (className == "QGroupBox")
        return std::make_unique<QGroupBox>();
    if (className == "QTableWidget")
        return std::make_unique<QTableWidget>();
    if (className == "QTabWidget")
        return std::make_unique<QTabWidget>();
    if (className == "QWidget")
        return std::make_unique<QWidget>();
    return nullptr;
}

} // namespace

// Built on a window that records which of the seven button slots run.
class SlotRecorder : public QWidget
{
    Q_OBJECT
public:
    QStringList calls;

private slots:
    void on_pbUpdateData_clicked() { calls << QStringLiteral("on_pbUpdateData_clicked"); }
    void on_pbGetConstants_clicked() { calls << QStringLiteral("on_pbGetConstants_clicked"); }
    void on_pbOpenTable_clicked() { calls << QStringLiteral("on_pbOpenTable_clicked"); }
    void on_pbSetConstants_clicked() { calls << QStringLiteral("on_pbSetConstants_clicked"); }
    void on_pbWriteEeprom_clicked() { calls << QStringLiteral("on_pbWriteEeprom_clicked"); }
    void on_pbSave_clicked() { calls << QStringLiteral("on_pbSave_clicked"); }
    void on_pbLoad_clicked() { calls << QStringLiteral("on_pbLoad_clicked"); }
};

class TstForm : public QObject
{
    Q_OBJECT

private slots:
    void formHoldsOnlyItsPointers();
    void members_data();
    void members();
    void objects_data();
    void objects();
    void childrenInCreationOrder_data();
    void childrenInCreationOrder();
    void noOtherNamedObjects();
    void windowName_data();
    void windowName();
    void windowSizeAndTitle();
    void texts_data();
    void texts();
    void lineEdits_data();
    void lineEdits();
    void tabs_data();
    void tabs();
    void tabWidgetSettings();
    void tableShape();
    void tableHeaderTexts_data();
    void tableHeaderTexts();
    void tableHeaderSettings();
    void installedLayouts_data();
    void installedLayouts();
    void boxLayoutItems_data();
    void boxLayoutItems();
    void formLayoutRows_data();
    void formLayoutRows();
    void spacers_data();
    void spacers();
    void untouchedWidgetDefaults_data();
    void untouchedWidgetDefaults();
    void layoutMarginsFromStyle_data();
    void layoutMarginsFromStyle();
    void focusChainFollowsCreation();
    void slotsConnectedByName_data();
    void slotsConnectedByName();
    void dataTabKeepsPlaces_data();
    void dataTabKeepsPlaces();
    void constantsTabKeepsPlaces_data();
    void constantsTabKeepsPlaces();
    void rightColumnStretches();
};

void TstForm::formHoldsOnlyItsPointers()
{
    QCOMPARE(int(formMembers().size()), MemberCount);
    QCOMPARE(sizeof(Ui_Widget), MemberCount * sizeof(void *));
}

void TstForm::members_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("className");

    const QList<QPair<const char *, QByteArray>> members = {
        {"verticalLayout", "QVBoxLayout"},     {"tabWidget", "QTabWidget"},
        {"tab", "QWidget"},                    {"verticalLayout_2", "QVBoxLayout"},
        {"formLayout", "QFormLayout"},         {"label", "QLabel"},
        {"leTemperature", "QLineEdit"},        {"label_2", "QLabel"},
        {"leVoltage", "QLineEdit"},            {"verticalSpacer", "QSpacerItem"},
        {"horizontalLayout", "QHBoxLayout"},   {"horizontalSpacer", "QSpacerItem"},
        {"pbUpdateData", "QPushButton"},       {"tab_2", "QWidget"},
        {"verticalLayout_4", "QVBoxLayout"},   {"horizontalLayout_4", "QHBoxLayout"},
        {"groupBox_2", "QGroupBox"},           {"formLayout_3", "QFormLayout"},
        {"label_5", "QLabel"},                 {"leADCslope", "QLineEdit"},
        {"label_6", "QLabel"},                 {"leADCintercept", "QLineEdit"},
        {"groupBox", "QGroupBox"},             {"formLayout_2", "QFormLayout"},
        {"label_3", "QLabel"},                 {"leDACslope", "QLineEdit"},
        {"label_4", "QLabel"},                 {"leDACintercept", "QLineEdit"},
        {"horizontalLayout_3", "QHBoxLayout"}, {"twTableData", "QTableWidget"},
        {"verticalLayout_3", "QVBoxLayout"},   {"pbOpenTable", "QPushButton"},
        {"pbLoad", "QPushButton"},             {"pbSave", "QPushButton"},
        {"verticalSpacer_2", "QSpacerItem"},   {"horizontalLayout_2", "QHBoxLayout"},
        {"horizontalSpacer_2", "QSpacerItem"}, {"pbGetConstants", "QPushButton"},
        {"pbSetConstants", "QPushButton"},     {"pbWriteEeprom", "QPushButton"},
    };
    for (int i = 0; i < members.size(); ++i)
        QTest::newRow(members[i].first) << i << members[i].second;
}

// Each member is declared in its place in the sequence, as a pointer to its class.
void TstForm::members()
{
    QFETCH(int, index);
    QFETCH(QByteArray, className);

    const FormMember *member = findMember(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(member);
    QCOMPARE(member->offset, std::size_t(index) * sizeof(void *));
    QCOMPARE(QByteArray(member->declaredClass), className);
}

void TstForm::objects_data()
{
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("owner");

    // The owner is the QObject parent once setupUi is done; the tab pages sit in the
    // tab widget's internal page stack, whose parent is the tab widget.
    QTest::newRow("verticalLayout") << QByteArray("QVBoxLayout") << "Widget";
    QTest::newRow("tabWidget") << QByteArray("QTabWidget") << "Widget";
    QTest::newRow("tab") << QByteArray("QWidget") << "tabWidget";
    QTest::newRow("verticalLayout_2") << QByteArray("QVBoxLayout") << "tab";
    QTest::newRow("formLayout") << QByteArray("QFormLayout") << "verticalLayout_2";
    QTest::newRow("label") << QByteArray("QLabel") << "tab";
    QTest::newRow("leTemperature") << QByteArray("QLineEdit") << "tab";
    QTest::newRow("label_2") << QByteArray("QLabel") << "tab";
    QTest::newRow("leVoltage") << QByteArray("QLineEdit") << "tab";
    QTest::newRow("horizontalLayout") << QByteArray("QHBoxLayout") << "verticalLayout_2";
    QTest::newRow("pbUpdateData") << QByteArray("QPushButton") << "tab";
    QTest::newRow("tab_2") << QByteArray("QWidget") << "tabWidget";
    QTest::newRow("verticalLayout_4") << QByteArray("QVBoxLayout") << "tab_2";
    QTest::newRow("horizontalLayout_4") << QByteArray("QHBoxLayout") << "verticalLayout_4";
    QTest::newRow("groupBox_2") << QByteArray("QGroupBox") << "tab_2";
    QTest::newRow("formLayout_3") << QByteArray("QFormLayout") << "groupBox_2";
    QTest::newRow("label_5") << QByteArray("QLabel") << "groupBox_2";
    QTest::newRow("leADCslope") << QByteArray("QLineEdit") << "groupBox_2";
    QTest::newRow("label_6") << QByteArray("QLabel") << "groupBox_2";
    QTest::newRow("leADCintercept") << QByteArray("QLineEdit") << "groupBox_2";
    QTest::newRow("groupBox") << QByteArray("QGroupBox") << "tab_2";
    QTest::newRow("formLayout_2") << QByteArray("QFormLayout") << "groupBox";
    QTest::newRow("label_3") << QByteArray("QLabel") << "groupBox";
    QTest::newRow("leDACslope") << QByteArray("QLineEdit") << "groupBox";
    QTest::newRow("label_4") << QByteArray("QLabel") << "groupBox";
    QTest::newRow("leDACintercept") << QByteArray("QLineEdit") << "groupBox";
    QTest::newRow("horizontalLayout_3") << QByteArray("QHBoxLayout") << "verticalLayout_4";
    QTest::newRow("twTableData") << QByteArray("QTableWidget") << "tab_2";
    QTest::newRow("verticalLayout_3") << QByteArray("QVBoxLayout") << "horizontalLayout_3";
    QTest::newRow("pbOpenTable") << QByteArray("QPushButton") << "tab_2";
    QTest::newRow("pbLoad") << QByteArray("QPushButton") << "tab_2";
    QTest::newRow("pbSave") << QByteArray("QPushButton") << "tab_2";
    QTest::newRow("horizontalLayout_2") << QByteArray("QHBoxLayout") << "verticalLayout_4";
    QTest::newRow("pbGetConstants") << QByteArray("QPushButton") << "tab_2";
    QTest::newRow("pbSetConstants") << QByteArray("QPushButton") << "tab_2";
    QTest::newRow("pbWriteEeprom") << QByteArray("QPushButton") << "tab_2";
}

// Each object is found once by name in the window's tree, is the form's member of that
// name, has exactly the given class, and belongs to the given owner.
void TstForm::objects()
{
    QFETCH(QByteArray, className);
    QFETCH(QString, owner);
    const QString name = QString::fromLatin1(QTest::currentDataTag());

    Form form;
    const QList<QObject *> found = form.window.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QObject *object = found.first();
    QCOMPARE(object, form.object(name));
    QCOMPARE(QByteArray(object->metaObject()->className()), className);

    QObject *parent = object->parent();
    QVERIFY(parent);
    if (parent->objectName() != owner) {
        // Only a tab page may sit one level further down, in the tab widget's page stack.
        QVERIFY2(qobject_cast<QStackedWidget *>(parent), qPrintable(parent->objectName()));
        parent = parent->parent();
    }
    QCOMPARE(parent, form.object(owner));
}

void TstForm::childrenInCreationOrder_data()
{
    QTest::addColumn<QStringList>("children");

    QTest::newRow("Widget") << QStringList{"verticalLayout", "tabWidget"};
    QTest::newRow("verticalLayout") << QStringList{};
    QTest::newRow("tab") << QStringList{"verticalLayout_2", "label", "leTemperature",
                                        "label_2", "leVoltage", "pbUpdateData"};
    QTest::newRow("verticalLayout_2") << QStringList{"formLayout", "horizontalLayout"};
    QTest::newRow("formLayout") << QStringList{};
    QTest::newRow("horizontalLayout") << QStringList{};
    QTest::newRow("tab_2") << QStringList{"verticalLayout_4", "groupBox_2", "groupBox",
                                          "twTableData", "pbOpenTable", "pbLoad", "pbSave",
                                          "pbGetConstants", "pbSetConstants", "pbWriteEeprom"};
    QTest::newRow("verticalLayout_4")
        << QStringList{"horizontalLayout_4", "horizontalLayout_3", "horizontalLayout_2"};
    QTest::newRow("horizontalLayout_4") << QStringList{};
    QTest::newRow("groupBox_2")
        << QStringList{"formLayout_3", "label_5", "leADCslope", "label_6", "leADCintercept"};
    QTest::newRow("formLayout_3") << QStringList{};
    QTest::newRow("groupBox")
        << QStringList{"formLayout_2", "label_3", "leDACslope", "label_4", "leDACintercept"};
    QTest::newRow("formLayout_2") << QStringList{};
    QTest::newRow("horizontalLayout_3") << QStringList{"verticalLayout_3"};
    QTest::newRow("verticalLayout_3") << QStringList{};
    QTest::newRow("horizontalLayout_2") << QStringList{};
    QTest::newRow("twTableData") << QStringList{};
}

// QObject::children() keeps insertion order, so the direct children that belong to the
// form show the order in which they were created or taken over.
void TstForm::childrenInCreationOrder()
{
    QFETCH(QStringList, children);

    Form form;
    QObject *object = form.object(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(object);
    const QSet<QString> formNames = formObjectNames();
    QStringList actual;
    for (QObject *child : object->children()) {
        if (formNames.contains(child->objectName()))
            actual << child->objectName();
    }
    QCOMPARE(actual, children);
}

// Each of the form's names occurs once; any other named object is part of a Qt widget's
// own inner workings.
void TstForm::noOtherNamedObjects()
{
    Form form;
    const QSet<QString> formNames = formObjectNames();
    QSet<QString> seen;
    for (QObject *object : form.window.findChildren<QObject *>()) {
        const QString name = object->objectName();
        if (name.isEmpty())
            continue;
        if (!formNames.contains(name)) {
            QVERIFY2(isQtInternal(object, &form.window), qPrintable(name));
            continue;
        }
        QVERIFY2(!seen.contains(name), qPrintable(name));
        seen.insert(name);
    }
    QStringList actual = seen.values();
    QStringList expected = formNames.values();
    actual.sort();
    expected.sort();
    QCOMPARE(actual, expected);
}

void TstForm::windowName_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");

    QTest::newRow("unnamed") << QString() << "Widget";
    QTest::newRow("already named") << "calibrationWindow" << "calibrationWindow";
}

void TstForm::windowName()
{
    QFETCH(QString, before);
    QFETCH(QString, after);

    QWidget window;
    window.setObjectName(before);
    Ui_Widget ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), after);
}

void TstForm::windowSizeAndTitle()
{
    Form form;
    QCOMPARE(form.window.size(), QSize(469, 410));
    QCOMPARE(form.window.windowTitle(), QStringLiteral("Widget"));
    QVERIFY(!form.window.isVisible());
}

void TstForm::texts_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("text");

    QTest::newRow("label") << QByteArray("text") << "Temperature (K)";
    QTest::newRow("label_2") << QByteArray("text") << "Voltage (V)";
    QTest::newRow("pbUpdateData") << QByteArray("text") << "Update Data";
    QTest::newRow("groupBox_2") << QByteArray("title") << "ADC constants";
    QTest::newRow("label_5") << QByteArray("text") << "Slope";
    QTest::newRow("label_6") << QByteArray("text") << "Intercept";
    QTest::newRow("groupBox") << QByteArray("title") << "DAC constants";
    QTest::newRow("label_3") << QByteArray("text") << "Slope";
    QTest::newRow("label_4") << QByteArray("text") << "Intercept";
    QTest::newRow("pbOpenTable") << QByteArray("text") << "Open table data...";
    QTest::newRow("pbLoad") << QByteArray("text") << "Load calibrations...";
    QTest::newRow("pbSave") << QByteArray("text") << "Save calibrations...";
    QTest::newRow("pbGetConstants") << QByteArray("text") << "Get Constants";
    QTest::newRow("pbSetConstants") << QByteArray("text") << "Set Constants";
    QTest::newRow("pbWriteEeprom") << QByteArray("text") << "Write EEPROM";
}

void TstForm::texts()
{
    QFETCH(QByteArray, property);
    QFETCH(QString, text);

    Form form;
    QObject *object = form.object(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(object);
    const QVariant value = object->property(property.constData());
    QVERIFY(value.isValid());
    QCOMPARE(value.toString(), text);
}

void TstForm::lineEdits_data()
{
    QTest::addColumn<bool>("readOnly");

    QTest::newRow("leTemperature") << true;
    QTest::newRow("leVoltage") << true;
    QTest::newRow("leADCslope") << false;
    QTest::newRow("leADCintercept") << false;
    QTest::newRow("leDACslope") << false;
    QTest::newRow("leDACintercept") << false;
}

// Every line edit starts empty; the two readings refuse typing, the constants take any text.
void TstForm::lineEdits()
{
    QFETCH(bool, readOnly);

    Form form;
    auto *edit = form.get<QLineEdit>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(edit);
    QCOMPARE(edit->isReadOnly(), readOnly);
    QCOMPARE(edit->text(), QString());

    const QString typed = QStringLiteral("-1.5e-3 not a number");
    QTest::keyClicks(edit, typed);
    QCOMPARE(edit->text(), readOnly ? QString() : typed);
}

void TstForm::tabs_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("text");

    QTest::newRow("data") << 0 << "tab" << "Data";
    QTest::newRow("constants") << 1 << "tab_2" << "Constants";
}

void TstForm::tabs()
{
    QFETCH(int, index);
    QFETCH(QString, page);
    QFETCH(QString, text);

    Form form;
    QCOMPARE(form.ui.tabWidget->widget(index), form.object(page));
    QCOMPARE(form.ui.tabWidget->tabText(index), text);
}

void TstForm::tabWidgetSettings()
{
    Form form;
    QCOMPARE(form.ui.tabWidget->count(), 2);
    QCOMPARE(form.ui.tabWidget->tabPosition(), QTabWidget::North);
    QCOMPARE(form.ui.tabWidget->currentIndex(), 1);
    QCOMPARE(form.ui.tabWidget->currentWidget(), form.ui.tab_2);
}

// 100 x 2, with the two horizontal header items as the only items and no cell widgets.
void TstForm::tableShape()
{
    Form form;
    QTableWidget *table = form.ui.twTableData;
    QCOMPARE(table->rowCount(), 100);
    QCOMPARE(table->columnCount(), 2);
    for (int row = 0; row < table->rowCount(); ++row) {
        QVERIFY2(!table->verticalHeaderItem(row), qPrintable(QString::number(row)));
        for (int column = 0; column < table->columnCount(); ++column) {
            QVERIFY2(!table->item(row, column), qPrintable(QStringLiteral("%1,%2").arg(row).arg(column)));
            QVERIFY(!table->cellWidget(row, column));
        }
    }
}

void TstForm::tableHeaderTexts_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text");

    QTest::newRow("voltage") << 0 << "Voltage(V)";
    QTest::newRow("temperature") << 1 << "Temperature(K)";
}

void TstForm::tableHeaderTexts()
{
    QFETCH(int, column);
    QFETCH(QString, text);

    Form form;
    QTableWidgetItem *header = form.ui.twTableData->horizontalHeaderItem(column);
    QVERIFY(header);
    QCOMPARE(header->type(), int(QTableWidgetItem::Type));
    QCOMPARE(header->text(), text);
    QCOMPARE(form.ui.twTableData->model()->headerData(column, Qt::Horizontal).toString(), text);
}

void TstForm::tableHeaderSettings()
{
    Form form;
    QHeaderView *horizontal = form.ui.twTableData->horizontalHeader();
    QHeaderView *vertical = form.ui.twTableData->verticalHeader();
    QCOMPARE(horizontal->defaultSectionSize(), 140);
    QVERIFY(horizontal->stretchLastSection());
    QVERIFY(!vertical->stretchLastSection());
    QTableWidget fresh;
    QCOMPARE(vertical->defaultSectionSize(), fresh.verticalHeader()->defaultSectionSize());
}

void TstForm::installedLayouts_data()
{
    QTest::addColumn<QString>("layout");

    QTest::newRow("Widget") << "verticalLayout";
    QTest::newRow("tab") << "verticalLayout_2";
    QTest::newRow("tab_2") << "verticalLayout_4";
    QTest::newRow("groupBox_2") << "formLayout_3";
    QTest::newRow("groupBox") << "formLayout_2";
    QTest::newRow("tabWidget") << QString();
    QTest::newRow("label") << QString();
    QTest::newRow("leTemperature") << QString();
    QTest::newRow("pbUpdateData") << QString();
    QTest::newRow("twTableData") << QString();
    QTest::newRow("pbWriteEeprom") << QString();
}

void TstForm::installedLayouts()
{
    QFETCH(QString, layout);

    Form form;
    auto *widget = form.get<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    if (layout.isEmpty())
        QVERIFY(!widget->layout());
    else
        QCOMPARE(widget->layout(), form.object(layout));
}

void TstForm::boxLayoutItems_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("items");

    // Names of spacer items are those of the form's members.
    QTest::newRow("verticalLayout") << "verticalLayout" << QStringList{"tabWidget"};
    QTest::newRow("verticalLayout_2")
        << "verticalLayout_2" << QStringList{"formLayout", "verticalSpacer", "horizontalLayout"};
    QTest::newRow("horizontalLayout")
        << "horizontalLayout" << QStringList{"horizontalSpacer", "pbUpdateData"};
    QTest::newRow("verticalLayout_4")
        << "verticalLayout_4"
        << QStringList{"horizontalLayout_4", "horizontalLayout_3", "horizontalLayout_2"};
    QTest::newRow("horizontalLayout_4")
        << "horizontalLayout_4" << QStringList{"groupBox_2", "groupBox"};
    QTest::newRow("horizontalLayout_3")
        << "horizontalLayout_3" << QStringList{"twTableData", "verticalLayout_3"};
    QTest::newRow("verticalLayout_3")
        << "verticalLayout_3" << QStringList{"pbOpenTable", "pbLoad", "pbSave", "verticalSpacer_2"};
    QTest::newRow("horizontalLayout_2")
        << "horizontalLayout_2"
        << QStringList{"horizontalSpacer_2", "pbGetConstants", "pbSetConstants", "pbWriteEeprom"};
}

// Items in the order placed, each with stretch 0 and no alignment.
void TstForm::boxLayoutItems()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, items);

    Form form;
    auto *box = form.get<QBoxLayout>(layout);
    QVERIFY(box);
    QCOMPARE(box->count(), items.size());
    for (int i = 0; i < items.size(); ++i) {
        QLayoutItem *item = box->itemAt(i);
        QVERIFY(item);
        if (QSpacerItem *spacer = form.spacer(items[i])) {
            QCOMPARE(item->spacerItem(), spacer);
        } else if (item->widget()) {
            QCOMPARE(item->widget(), form.object(items[i]));
        } else {
            QVERIFY2(item->layout(), qPrintable(items[i]));
            QCOMPARE(item->layout(), form.object(items[i]));
        }
        QCOMPARE(box->stretch(i), 0);
        QCOMPARE(item->alignment(), Qt::Alignment());
    }
}

void TstForm::formLayoutRows_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("field");

    QTest::newRow("formLayout 0") << "formLayout" << 0 << "label" << "leTemperature";
    QTest::newRow("formLayout 1") << "formLayout" << 1 << "label_2" << "leVoltage";
    QTest::newRow("formLayout_3 0") << "formLayout_3" << 0 << "label_5" << "leADCslope";
    QTest::newRow("formLayout_3 1") << "formLayout_3" << 1 << "label_6" << "leADCintercept";
    QTest::newRow("formLayout_2 0") << "formLayout_2" << 0 << "label_3" << "leDACslope";
    QTest::newRow("formLayout_2 1") << "formLayout_2" << 1 << "label_4" << "leDACintercept";
}

void TstForm::formLayoutRows()
{
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(QString, label);
    QFETCH(QString, field);

    Form form;
    auto *rows = form.get<QFormLayout>(layout);
    QVERIFY(rows);
    QCOMPARE(rows->rowCount(), 2);
    QCOMPARE(rows->count(), 4);
    QLayoutItem *labelItem = rows->itemAt(row, QFormLayout::LabelRole);
    QLayoutItem *fieldItem = rows->itemAt(row, QFormLayout::FieldRole);
    QVERIFY(labelItem && fieldItem);
    QVERIFY(!rows->itemAt(row, QFormLayout::SpanningRole));
    QCOMPARE(labelItem->widget(), form.object(label));
    QCOMPARE(fieldItem->widget(), form.object(field));
    QCOMPARE(rows->labelForField(fieldItem->widget()), labelItem->widget());
}

void TstForm::spacers_data()
{
    QTest::addColumn<QSize>("sizeHint");
    QTest::addColumn<QSizePolicy::Policy>("horizontal");
    QTest::addColumn<QSizePolicy::Policy>("vertical");
    QTest::addColumn<Qt::Orientations>("expanding");

    QTest::newRow("verticalSpacer") << QSize(20, 260) << QSizePolicy::Minimum
                                    << QSizePolicy::Expanding << Qt::Orientations(Qt::Vertical);
    QTest::newRow("horizontalSpacer") << QSize(40, 20) << QSizePolicy::Expanding
                                      << QSizePolicy::Minimum << Qt::Orientations(Qt::Horizontal);
    QTest::newRow("verticalSpacer_2") << QSize(20, 40) << QSizePolicy::Minimum
                                      << QSizePolicy::Expanding << Qt::Orientations(Qt::Vertical);
    QTest::newRow("horizontalSpacer_2") << QSize(40, 20) << QSizePolicy::Expanding
                                        << QSizePolicy::Minimum << Qt::Orientations(Qt::Horizontal);
}

void TstForm::spacers()
{
    QFETCH(QSize, sizeHint);
    QFETCH(QSizePolicy::Policy, horizontal);
    QFETCH(QSizePolicy::Policy, vertical);
    QFETCH(Qt::Orientations, expanding);

    Form form;
    QSpacerItem *spacer = form.spacer(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), sizeHint);
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), horizontal);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), vertical);
    QCOMPARE(spacer->expandingDirections(), expanding);
}

void TstForm::untouchedWidgetDefaults_data()
{
    QTest::addColumn<QByteArray>("className");

    QTest::newRow("tabWidget") << QByteArray("QTabWidget");
    QTest::newRow("tab") << QByteArray("QWidget");
    QTest::newRow("tab_2") << QByteArray("QWidget");
    QTest::newRow("groupBox_2") << QByteArray("QGroupBox");
    QTest::newRow("groupBox") << QByteArray("QGroupBox");
    QTest::newRow("twTableData") << QByteArray("QTableWidget");
    for (const char *name : {"label", "label_2", "label_5", "label_6", "label_3", "label_4"})
        QTest::newRow(name) << QByteArray("QLabel");
    for (const char *name : {"leTemperature", "leVoltage", "leADCslope", "leADCintercept",
                             "leDACslope", "leDACintercept"})
        QTest::newRow(name) << QByteArray("QLineEdit");
    for (const char *name : {"pbUpdateData", "pbOpenTable", "pbLoad", "pbSave", "pbGetConstants",
                             "pbSetConstants", "pbWriteEeprom"})
        QTest::newRow(name) << QByteArray("QPushButton");
}

// The form sets texts and the few listed settings only: sizes, policies, fonts, tips,
// style sheets, masks and validators keep the values of a freshly made widget.
void TstForm::untouchedWidgetDefaults()
{
    QFETCH(QByteArray, className);

    Form form;
    auto *widget = form.get<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    const std::unique_ptr<QWidget> fresh = freshWidget(className);
    QVERIFY(fresh);
    QCOMPARE(widget->sizePolicy(), fresh->sizePolicy());
    QCOMPARE(widget->minimumSize(), fresh->minimumSize());
    QCOMPARE(widget->maximumSize(), fresh->maximumSize());
    QCOMPARE(widget->focusPolicy(), fresh->focusPolicy());
    QCOMPARE(widget->isEnabled(), true);
    QVERIFY(!widget->testAttribute(Qt::WA_SetFont));
    QVERIFY(!widget->testAttribute(Qt::WA_SetPalette));
    QCOMPARE(widget->toolTip(), QString());
    QCOMPARE(widget->statusTip(), QString());
    QCOMPARE(widget->whatsThis(), QString());
    QCOMPARE(widget->styleSheet(), QString());
    QCOMPARE(widget->layoutDirection(), fresh->layoutDirection());
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        auto *freshEdit = static_cast<QLineEdit *>(fresh.get());
        QVERIFY(!edit->validator());
        QCOMPARE(edit->inputMask(), QString());
        QCOMPARE(edit->maxLength(), freshEdit->maxLength());
        QCOMPARE(edit->echoMode(), freshEdit->echoMode());
        QCOMPARE(edit->alignment(), freshEdit->alignment());
        QCOMPARE(edit->placeholderText(), QString());
        QCOMPARE(edit->hasFrame(), true);
    }
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        auto *freshLabel = static_cast<QLabel *>(fresh.get());
        QCOMPARE(label->alignment(), freshLabel->alignment());
        QCOMPARE(label->wordWrap(), false);
        QVERIFY(!label->buddy());
    }
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QVERIFY(!button->isCheckable());
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
        QVERIFY(button->icon().isNull());
        QCOMPARE(button->shortcut(), QKeySequence());
    }
}

void TstForm::layoutMarginsFromStyle_data()
{
    QTest::addColumn<bool>("ownsWidget");

    for (const char *name : {"verticalLayout", "verticalLayout_2", "verticalLayout_4",
                             "formLayout_3", "formLayout_2"})
        QTest::newRow(name) << true;
    for (const char *name : {"formLayout", "horizontalLayout", "horizontalLayout_4",
                             "horizontalLayout_3", "verticalLayout_3", "horizontalLayout_2"})
        QTest::newRow(name) << false;
}

// No margins are set: a widget's own layout takes the style's margins for that widget,
// and a nested layout has none.
void TstForm::layoutMarginsFromStyle()
{
    QFETCH(bool, ownsWidget);

    Form form;
    auto *layout = form.get<QLayout>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(layout);
    QMargins expected;
    if (ownsWidget) {
        QWidget *owner = layout->parentWidget();
        QVERIFY(owner);
        QCOMPARE(owner->layout(), layout);
        QStyle *style = owner->style();
        expected = QMargins(style->pixelMetric(QStyle::PM_LayoutLeftMargin, nullptr, owner),
                            style->pixelMetric(QStyle::PM_LayoutTopMargin, nullptr, owner),
                            style->pixelMetric(QStyle::PM_LayoutRightMargin, nullptr, owner),
                            style->pixelMetric(QStyle::PM_LayoutBottomMargin, nullptr, owner));
    }
    QCOMPARE(layout->contentsMargins(), expected);
    QCOMPARE(layout->sizeConstraint(), QLayout::SetDefaultConstraint);
}

// Without an explicit tab order, focus moves through the widgets in creation order.
void TstForm::focusChainFollowsCreation()
{
    Form form;
    const QStringList expected = {
        "tabWidget",  "leTemperature",  "leVoltage",      "pbUpdateData",
        "leADCslope", "leADCintercept", "leDACslope",     "leDACintercept",
        "twTableData", "pbOpenTable",   "pbLoad",         "pbSave",
        "pbGetConstants", "pbSetConstants", "pbWriteEeprom",
    };
    const QSet<QString> formNames = formObjectNames();
    QStringList actual;
    QWidget *widget = &form.window;
    do {
        if (formNames.contains(widget->objectName()) && widget->focusPolicy() & Qt::TabFocus)
            actual << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget && widget != &form.window);
    QCOMPARE(actual, expected);
}

void TstForm::slotsConnectedByName_data()
{
    QTest::addColumn<QString>("button");

    QTest::newRow("on_pbUpdateData_clicked") << "pbUpdateData";
    QTest::newRow("on_pbGetConstants_clicked") << "pbGetConstants";
    QTest::newRow("on_pbOpenTable_clicked") << "pbOpenTable";
    QTest::newRow("on_pbSetConstants_clicked") << "pbSetConstants";
    QTest::newRow("on_pbWriteEeprom_clicked") << "pbWriteEeprom";
    QTest::newRow("on_pbSave_clicked") << "pbSave";
    QTest::newRow("on_pbLoad_clicked") << "pbLoad";
}

// setupUi ties each button to the window's slot of the matching name, and only to it.
void TstForm::slotsConnectedByName()
{
    QFETCH(QString, button);

    SlotRecorder window;
    Ui_Widget ui;
    ui.setupUi(&window);
    QCOMPARE(window.calls, QStringList());

    auto *pushButton = window.findChild<QPushButton *>(button);
    QVERIFY(pushButton);
    pushButton->click();
    QCOMPARE(window.calls, QStringList{QString::fromLatin1(QTest::currentDataTag())});
}

void TstForm::dataTabKeepsPlaces_data()
{
    QTest::addColumn<QSize>("windowSize");

    QTest::newRow("initial") << QSize(469, 410);
    QTest::newRow("grown") << QSize(900, 700);
    QTest::newRow("wide and low") << QSize(1200, 300);
}

// The readings stay at the top and "Update Data" at the bottom right, at its natural width.
void TstForm::dataTabKeepsPlaces()
{
    QFETCH(QSize, windowSize);

    Form form;
    form.ui.tabWidget->setCurrentIndex(0);
    form.showAt(windowSize);
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    settleLayouts();

    const QRect area = form.ui.verticalLayout_2->contentsRect();
    QVERIFY(area.isValid());
    const QRect button = form.ui.pbUpdateData->geometry();
    QCOMPARE(button.right(), area.right());
    QCOMPARE(button.bottom(), area.bottom());
    QCOMPARE(button.width(), form.ui.pbUpdateData->sizeHint().width());

    const QRect temperature = form.ui.leTemperature->geometry();
    const QRect voltage = form.ui.leVoltage->geometry();
    QCOMPARE(temperature.top(), area.top());
    QCOMPARE(temperature.right(), area.right());
    QVERIFY(voltage.top() > temperature.bottom());
    QCOMPARE(form.ui.label_2->geometry().left(), form.ui.label->geometry().left());
    QVERIFY(voltage.bottom() < button.top());
    QVERIFY(form.ui.verticalSpacer->geometry().top() > voltage.bottom());
    QVERIFY(form.ui.verticalSpacer->geometry().bottom() < button.top());
}

void TstForm::constantsTabKeepsPlaces_data()
{
    QTest::addColumn<QSize>("windowSize");
    QTest::addColumn<bool>("columnsFit");

    // At the initial size the table is narrower than its two 140-pixel columns.
    QTest::newRow("initial") << QSize(469, 410) << false;
    QTest::newRow("grown") << QSize(900, 700) << true;
    QTest::newRow("tall") << QSize(600, 1000) << true;
}

// Device buttons right-aligned at the bottom, file buttons at the top of their column
// beside the table, ADC group left of the DAC group.
void TstForm::constantsTabKeepsPlaces()
{
    QFETCH(QSize, windowSize);
    QFETCH(bool, columnsFit);

    Form form;
    form.showAt(windowSize);
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    QCOMPARE(form.ui.tabWidget->currentIndex(), 1);
    settleLayouts();

    const QRect area = form.ui.verticalLayout_4->contentsRect();
    QVERIFY(area.isValid());
    const Ui_Widget &ui = form.ui;

    QCOMPARE(ui.pbWriteEeprom->geometry().right(), area.right());
    QCOMPARE(ui.pbWriteEeprom->geometry().bottom(), area.bottom());
    const QList<QPushButton *> deviceButtons = {ui.pbGetConstants, ui.pbSetConstants,
                                                ui.pbWriteEeprom};
    for (int i = 0; i < deviceButtons.size(); ++i) {
        QCOMPARE(deviceButtons[i]->geometry().bottom(), area.bottom());
        QCOMPARE(deviceButtons[i]->width(), deviceButtons[i]->sizeHint().width());
        if (i > 0)
            QVERIFY(deviceButtons[i]->x() > deviceButtons[i - 1]->geometry().right());
    }

    QCOMPARE(ui.groupBox_2->geometry().top(), area.top());
    QCOMPARE(ui.groupBox_2->geometry().left(), area.left());
    QCOMPARE(ui.groupBox->geometry().right(), area.right());
    QVERIFY(ui.groupBox_2->geometry().right() < ui.groupBox->geometry().left());

    const QRect table = ui.twTableData->geometry();
    QCOMPARE(table.left(), area.left());
    QVERIFY(table.top() > ui.groupBox_2->geometry().bottom());
    QVERIFY(table.bottom() < ui.pbGetConstants->geometry().top());
    QCOMPARE(ui.pbOpenTable->geometry().top(), table.top());
    QVERIFY(ui.pbOpenTable->x() > table.right());
    QCOMPARE(ui.pbOpenTable->geometry().right(), area.right());
    QVERIFY(ui.pbLoad->y() > ui.pbOpenTable->geometry().bottom());
    QVERIFY(ui.pbSave->y() > ui.pbLoad->geometry().bottom());
    QVERIFY(ui.pbSave->geometry().bottom() < table.bottom());

    QHeaderView *header = ui.twTableData->horizontalHeader();
    QCOMPARE(header->sectionSize(0), 140);
    QCOMPARE(header->viewport()->width() > 2 * 140, columnsFit);
    if (columnsFit)
        QCOMPARE(header->sectionSize(0) + header->sectionSize(1), header->viewport()->width());
}

// Widening the window widens only the right-hand column, which fills the table's width.
void TstForm::rightColumnStretches()
{
    Form form;
    form.showAt(QSize(469, 410));
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    settleLayouts();
    QHeaderView *header = form.ui.twTableData->horizontalHeader();
    const int viewportInitial = header->viewport()->width();

    form.window.resize(900, 700);
    settleLayouts();
    const int viewportGrown = header->viewport()->width();
    const int rightGrown = header->sectionSize(1);
    QVERIFY(viewportGrown > viewportInitial);
    QCOMPARE(header->sectionSize(0), 140);
    QVERIFY(rightGrown > 140);
    QCOMPARE(140 + rightGrown, viewportGrown);

    form.window.resize(1200, 700);
    settleLayouts();
    const int viewportWidest = header->viewport()->width();
    QVERIFY(viewportWidest > viewportGrown);
    QCOMPARE(header->sectionSize(0), 140);
    QCOMPARE(header->sectionSize(1) - rightGrown, viewportWidest - viewportGrown);
}

QTEST_MAIN(TstForm)
#include "tst_form.moc"

// Loads the built plugin file the way a host does and checks what the host sees of it: the
// metadata record with the descriptor, the exported identifier constants and the entry points.

#include <veyra/version.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>
#include <QtTest>

#include <initializer_list>
#include <utility>

namespace {

using Entry = std::pair<const char *, QJsonValue>;

QJsonObject object(std::initializer_list<Entry> entries)
{
    QJsonObject result;
    for (const Entry &entry : entries)
        result.insert(QLatin1String(entry.first), entry.second);
    return result;
}

QJsonValue text(const char *value)
{
    return QJsonValue(QLatin1String(value));
}

QJsonArray texts(std::initializer_list<const char *> values)
{
    QJsonArray result;
    for (const char *value : values)
        result.append(text(value));
    return result;
}

QJsonObject without(QJsonObject item, std::initializer_list<const char *> keys)
{
    for (const char *key : keys)
        item.remove(QLatin1String(key));
    return item;
}

QString compact(const QJsonObject &item)
{
    return QString::fromUtf8(QJsonDocument(item).toJson(QJsonDocument::Compact));
}

QString mismatch(const QJsonObject &actual, const QJsonObject &expected)
{
    return QStringLiteral("\n   got      %1\n   expected %2").arg(compact(actual), compact(expected));
}

QJsonArray array(const QJsonObject &item, const char *key)
{
    return item.value(QLatin1String(key)).toArray();
}

QString string(const QJsonObject &item, const char *key)
{
    return item.value(QLatin1String(key)).toString();
}

QStringList keys(std::initializer_list<const char *> names)
{
    QStringList result;
    for (const char *name : names)
        result.append(QLatin1String(name));
    result.sort();
    return result;
}

QString upperFirst(const QString &name)
{
    return name.left(1).toUpper() + name.mid(1);
}

// Every "id" anywhere in the descriptor, in document order.
void collectIds(const QJsonValue &value, QStringList *ids)
{
    if (value.isArray()) {
        const QJsonArray items = value.toArray();
        for (const QJsonValue &item : items)
            collectIds(item, ids);
    } else if (value.isObject()) {
        const QJsonObject item = value.toObject();
        for (auto it = item.begin(); it != item.end(); ++it) {
            if (it.key() == QLatin1String("id"))
                ids->append(it.value().toString());
            else
                collectIds(it.value(), ids);
        }
    }
}

// Compares a descriptor item, less the keys that are checked elsewhere, with what it must be:
// key set, values and JSON types ("0" is not 0, false is not "false").
#define COMPARE_ITEM(actual, expected)                                                                                 \
    do {                                                                                                               \
        const QJsonObject actual_ = (actual);                                                                          \
        const QJsonObject expected_ = (expected);                                                                      \
        QVERIFY2(actual_ == expected_, qPrintable(mismatch(actual_, expected_)));                                      \
    } while (false)

// The items of a descriptor list, each less its "id", against what they must be, in order.
#define COMPARE_ITEMS(actual, expected)                                                                                \
    do {                                                                                                               \
        const QJsonArray items_ = (actual);                                                                            \
        const QList<QJsonObject> expectedItems_ = (expected);                                                          \
        QCOMPARE(items_.size(), expectedItems_.size());                                                                \
        for (int i_ = 0; i_ < items_.size(); ++i_)                                                                     \
            COMPARE_ITEM(without(items_.at(i_).toObject(), {"id"}), expectedItems_.at(i_));                            \
    } while (false)

// A double state as both kinds of class have them; the gateway's also say they are not cached.
QJsonObject energyState(const char *name, const char *displayName, const char *unit, bool gateway)
{
    QJsonObject state = object({{"name", text(name)},
                                {"displayName", text(displayName)},
                                {"type", text("double")},
                                {"defaultValue", text("0")},
                                {"unit", text(unit)}});
    if (gateway)
        state.insert(QLatin1String("cached"), false);
    return state;
}

const char *const placeholderDeviceId = "1-QEL-000-00000000";

} // namespace

class TestDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void metadataRecord();
    void pluginAndVendor();
    void thingClassOrder();
    void gatewayClass();
    void meterClass_data();
    void meterClass();
    void uuidsWellFormedAndUnique();
    void identifierConstant_data();
    void identifierConstant();

    void apiVersion();
    void pluginInstance();
    void castRequests();

private:
    QJsonArray thingClasses() const;
    QVector<QPair<QString, QString>> expectedConstants() const;
    QObject *createInstance();

    QString m_fileName;
    QJsonObject m_metaData;
    QJsonObject m_descriptor;
    QLibrary m_library;
};

void TestDescriptor::initTestCase()
{
    m_fileName =
        QDir(QString::fromUtf8(VEYRA_PLUGIN_DIR)).absoluteFilePath(QStringLiteral("libintegrationpluginqellmn.so"));
    QVERIFY2(QFile::exists(m_fileName), qPrintable(m_fileName + QStringLiteral(" is missing")));

    // The host's way in: Qt's loader must accept the file (Qt version, undefined symbols).
    QPluginLoader loader(m_fileName);
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
    m_metaData = loader.metaData();
    m_descriptor = m_metaData.value(QLatin1String("MetaData")).toObject();
    QVERIFY(!m_descriptor.isEmpty());

    m_library.setFileName(m_fileName);
    QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
}

QJsonArray TestDescriptor::thingClasses() const
{
    return array(array(m_descriptor, "vendors").at(0).toObject(), "thingClasses");
}

void TestDescriptor::metadataRecord()
{
    QCOMPARE(string(m_metaData, "IID"), QStringLiteral("io.veyra.IntegrationPlugin"));
    QCOMPARE(string(m_metaData, "className"), QStringLiteral("IntegrationPluginQelLmn"));
    QVERIFY(m_metaData.value(QLatin1String("version")).isDouble());
    // Qt 5.15's record keeps the major and minor version of the Qt the plugin is built with; the
    // patch level reads back as 0.
    QCOMPARE(m_metaData.value(QLatin1String("version")).toInt(),
             QT_VERSION_CHECK(QT_VERSION_MAJOR, QT_VERSION_MINOR, 0));
    // Qt records the plugin's build type; the plugin is built like this test.
    QVERIFY(m_metaData.value(QLatin1String("debug")).isBool());
#ifdef QT_NO_DEBUG
    QCOMPARE(m_metaData.value(QLatin1String("debug")).toBool(), false);
#else
    QCOMPARE(m_metaData.value(QLatin1String("debug")).toBool(), true);
#endif
}

void TestDescriptor::pluginAndVendor()
{
    QStringList pluginKeys = m_descriptor.keys();
    pluginKeys.sort();
    QCOMPARE(pluginKeys, keys({"name", "displayName", "id", "vendors"}));
    QCOMPARE(string(m_descriptor, "name"), QStringLiteral("QelLmn"));
    QCOMPARE(string(m_descriptor, "displayName"), QStringLiteral("QelLmn"));

    const QJsonArray vendors = array(m_descriptor, "vendors");
    QCOMPARE(vendors.size(), 1);
    COMPARE_ITEM(without(vendors.at(0).toObject(), {"id", "thingClasses"}),
                 object({{"name", text("qel")}, {"displayName", text("Qelmetrik")}}));
    QVERIFY(vendors.at(0).toObject().value(QLatin1String("thingClasses")).isArray());
}

void TestDescriptor::thingClassOrder()
{
    QStringList expected{QStringLiteral("lmn")};
    for (int slot = 1; slot <= 32; ++slot)
        expected.append(QStringLiteral("qelLmnMeter%1").arg(slot));

    QStringList names;
    const QJsonArray classes = thingClasses();
    for (const QJsonValue &thingClass : classes)
        names.append(string(thingClass.toObject(), "name"));
    QCOMPARE(names.size(), 33);
    QCOMPARE(names, expected); // numeric, not text order: qelLmnMeter10 after qelLmnMeter9
}

void TestDescriptor::gatewayClass()
{
    const QJsonObject lmn = thingClasses().at(0).toObject();
    COMPARE_ITEM(without(lmn, {"id", "paramTypes", "stateTypes"}),
                 object({{"name", text("lmn")},
                         {"displayName", text("QEL LMN")},
                         {"createMethods", texts({"user"})},
                         {"interfaces", texts({"gateway", "energymeter"})},
                         {"providedInterfaces", texts({"smartmeterproducer", "smartmeterconsumer"})}}));

    COMPARE_ITEMS(array(lmn, "paramTypes"), (QList<QJsonObject>{
                                                object({{"name", text("port")},
                                                        {"displayName", text("Connected port")},
                                                        {"type", text("QString")},
                                                        {"defaultValue", text("/dev/ttymxc3")},
                                                        {"readOnly", true}}),
                                                object({{"name", text("serverPort")},
                                                        {"displayName", text("Server Port")},
                                                        {"type", text("QString")},
                                                        {"defaultValue", text("5000")},
                                                        {"readOnly", true}}),
                                            }));

    COMPARE_ITEMS(array(lmn, "stateTypes"),
                  (QList<QJsonObject>{
                      object({{"name", text("connected")},
                              {"displayName", text("Connected")},
                              {"displayNameEvent", text("Connected changed")},
                              {"type", text("bool")},
                              {"defaultValue", false},
                              {"cached", false}}),
                      energyState("totalEnergyConsumed", "Energy Consumed", "KiloWattHour", true),
                      energyState("totalEnergyProduced", "Energy Produced", "KiloWattHour", true),
                      energyState("currentPower", "Current Power", "Watt", true),
                      energyState("currentPhaseA", "Current Phase A", "Ampere", true),
                      energyState("voltagePhaseA", "Voltage Phase A", "Volt", true),
                  }));
}

void TestDescriptor::meterClass_data()
{
    QTest::addColumn<int>("slot");
    for (int slot = 1; slot <= 32; ++slot)
        QTest::addRow("qelLmnMeter%d", slot) << slot;
}

void TestDescriptor::meterClass()
{
    QFETCH(int, slot);
    const QJsonArray classes = thingClasses();
    QVERIFY(slot < classes.size());
    const QJsonObject meter = classes.at(slot).toObject();

    // No providedInterfaces, and "Auto" with a capital, unlike the gateway.
    COMPARE_ITEM(without(meter, {"id", "paramTypes", "stateTypes"}),
                 object({{"name", QStringLiteral("qelLmnMeter%1").arg(slot)},
                         {"displayName", QStringLiteral("Qel Meter %1").arg(slot)},
                         {"createMethods", texts({"Auto"})},
                         {"interfaces", texts({"smartmeterconsumer", "smartmeterproducer"})}}));

    const QJsonObject deviceId = object({{"name", text("deviceID")},
                                         {"displayName", text("Device ID")},
                                         {"type", text("QString")},
                                         {"defaultValue", text(placeholderDeviceId)}});
    COMPARE_ITEMS(array(meter, "paramTypes"), QList<QJsonObject>{deviceId});
    COMPARE_ITEMS(array(meter, "stateTypes"),
                  (QList<QJsonObject>{
                      deviceId,
                      energyState("totalEnergyConsumed", "Total consumed energy", "KiloWattHour", false),
                      energyState("totalEnergyProduced", "Total produced energy", "KiloWattHour", false),
                      energyState("currentPower", "Current power", "Watt", false),
                  }));
}

void TestDescriptor::uuidsWellFormedAndUnique()
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    QStringList ids;
    collectIds(m_descriptor, &ids);
    // 1 plugin + 1 vendor + 33 classes + 34 params + 134 states
    QCOMPARE(ids.size(), 203);

    QSet<QString> seen;
    for (const QString &id : qAsConst(ids)) {
        QVERIFY2(form.match(id).hasMatch(), qPrintable(id));
        QVERIFY2(!seen.contains(id), qPrintable(QStringLiteral("used twice: ") + id));
        seen.insert(id);
    }
    // Every id belongs to an item that gets a constant.
    QCOMPARE(expectedConstants().size(), ids.size());
}

// Constant names by the naming rule, with the UUID of the item each names, in descriptor order.
QVector<QPair<QString, QString>> TestDescriptor::expectedConstants() const
{
    QVector<QPair<QString, QString>> constants;
    constants.append({QStringLiteral("pluginId"), string(m_descriptor, "id")});
    const QJsonArray vendors = array(m_descriptor, "vendors");
    for (const QJsonValue &vendorValue : vendors) {
        const QJsonObject vendor = vendorValue.toObject();
        constants.append({string(vendor, "name") + QStringLiteral("VendorId"), string(vendor, "id")});
        const QJsonArray classes = array(vendor, "thingClasses");
        for (const QJsonValue &classValue : classes) {
            const QJsonObject thingClass = classValue.toObject();
            const QString className = string(thingClass, "name");
            constants.append({className + QStringLiteral("ThingClassId"), string(thingClass, "id")});
            const QJsonArray params = array(thingClass, "paramTypes");
            for (const QJsonValue &param : params) {
                const QString name = className + QStringLiteral("Thing") + upperFirst(string(param.toObject(), "name"))
                                     + QStringLiteral("ParamTypeId");
                constants.append({name, string(param.toObject(), "id")});
            }
            const QJsonArray states = array(thingClass, "stateTypes");
            for (const QJsonValue &state : states) {
                const QString name = className + upperFirst(string(state.toObject(), "name"))
                                     + QStringLiteral("StateTypeId");
                constants.append({name, string(state.toObject(), "id")});
            }
        }
    }
    return constants;
}

void TestDescriptor::identifierConstant_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("uuid");
    const auto constants = expectedConstants();
    for (const auto &constant : constants)
        QTest::newRow(constant.first.toLatin1().constData()) << constant.first << constant.second;
}

void TestDescriptor::identifierConstant()
{
    QFETCH(QString, name);
    QFETCH(QString, uuid);

    // Exported unmangled, so a host finds it by name; all identifier types are QUuid underneath.
    const auto *constant = reinterpret_cast<const QUuid *>(m_library.resolve(name.toLatin1().constData()));
    QVERIFY2(constant, qPrintable(name + QStringLiteral(" is not exported")));
    QCOMPARE(constant->toString(QUuid::WithoutBraces), uuid);
    QCOMPARE(*constant, QUuid(QLatin1Char('{') + uuid + QLatin1Char('}')));
}

void TestDescriptor::apiVersion()
{
    using ApiVersionFunction = QString (*)();
    const auto apiVersion = reinterpret_cast<ApiVersionFunction>(m_library.resolve("libveyra_api_version"));
    QVERIFY(apiVersion);
    QCOMPARE(apiVersion(), QStringLiteral(VEYRA_API_VERSION));
}

QObject *TestDescriptor::createInstance()
{
    // The entry point itself, not QPluginLoader::instance(), which keeps its own cache.
    using InstanceFunction = QObject *(*)();
    const auto instance = reinterpret_cast<InstanceFunction>(m_library.resolve("qt_plugin_instance"));
    return instance ? instance() : nullptr;
}

void TestDescriptor::pluginInstance()
{
    QObject *first = createInstance();
    QVERIFY(first);
    QCOMPARE(first->metaObject()->className(), "IntegrationPluginQelLmn");
    QCOMPARE(first->parent(), nullptr);
    QCOMPARE(createInstance(), first);
    QCOMPARE(createInstance(), first);

    // The allocator may hand out the same address again, so tell the objects apart by a mark.
    first->setProperty("tst_descriptor_first", true);
    QPointer<QObject> guard(first);
    delete first;
    QVERIFY(guard.isNull());

    QObject *second = createInstance();
    QVERIFY(second);
    QVERIFY(!second->property("tst_descriptor_first").isValid());
    QCOMPARE(second->metaObject()->className(), "IntegrationPluginQelLmn");
    QCOMPARE(createInstance(), second);
    delete second;
}

void TestDescriptor::castRequests()
{
    QObject *plugin = createInstance();
    QVERIFY(plugin);
    void *self = plugin;
    QCOMPARE(plugin->qt_metacast("IntegrationPluginQelLmn"), self);
    QCOMPARE(plugin->qt_metacast("io.veyra.IntegrationPlugin"), self);
    // Everything else is the base classes' business.
    QCOMPARE(plugin->qt_metacast("QObject"), self);
    QCOMPARE(plugin->qt_metacast("NoSuchClass"), nullptr);
    delete plugin;
}

QTEST_GUILESS_MAIN(TestDescriptor)
#include "tst_descriptor.moc"

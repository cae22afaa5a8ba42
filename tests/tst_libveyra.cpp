// The host stand-in on its own: descriptor reading, the thing model, params, plugin timers and
// host requests; then ThingManager hosting the built plugin file: loading, setup, removal and
// the thing store.

#include <veyra/hostrequests.h>
#include <veyra/integrationplugin.h>
#include <veyra/param.h>
#include <veyra/plugintimer.h>
#include <veyra/thing.h>
#include <veyra/thingclass.h>
#include <veyra/thingmanager.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <memory>

namespace {

const QString lmnClassName = QStringLiteral("lmn");

QString pluginFile()
{
    const QDir dir(QStringLiteral(VEYRA_PLUGIN_DIR));
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        if (QLibrary::isLibrary(name))
            return dir.absoluteFilePath(name);
    }
    return QString();
}

// A small descriptor with one class that has a param and a state of every supported type.
QJsonObject goodDescriptor()
{
    const QJsonArray paramTypes{
        QJsonObject{{QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000011")},
                    {QStringLiteral("name"), QStringLiteral("address")},
                    {QStringLiteral("type"), QStringLiteral("QString")},
                    {QStringLiteral("defaultValue"), QStringLiteral("here")},
                    {QStringLiteral("readOnly"), true}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000012")},
                    {QStringLiteral("name"), QStringLiteral("retries")},
                    {QStringLiteral("type"), QStringLiteral("uint")},
                    {QStringLiteral("defaultValue"), QStringLiteral("3")}},
    };
    const QJsonArray stateTypes{
        QJsonObject{{QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000021")},
                    {QStringLiteral("name"), QStringLiteral("connected")},
                    {QStringLiteral("type"), QStringLiteral("bool")},
                    {QStringLiteral("defaultValue"), false},
                    {QStringLiteral("cached"), false}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000022")},
                    {QStringLiteral("name"), QStringLiteral("energy")},
                    {QStringLiteral("type"), QStringLiteral("double")},
                    {QStringLiteral("defaultValue"), QStringLiteral("0")},
                    {QStringLiteral("unit"), QStringLiteral("KiloWattHour")}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000023")},
                    {QStringLiteral("name"), QStringLiteral("count")},
                    {QStringLiteral("type"), QStringLiteral("int")},
                    {QStringLiteral("defaultValue"), 7}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000024")},
                    {QStringLiteral("name"), QStringLiteral("label")},
                    {QStringLiteral("type"), QStringLiteral("QString")}},
    };
    const QJsonObject thingClass{
        {QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000003")},
        {QStringLiteral("name"), QStringLiteral("box")},
        {QStringLiteral("displayName"), QStringLiteral("A box")},
        {QStringLiteral("createMethods"), QJsonArray{QStringLiteral("user")}},
        {QStringLiteral("interfaces"), QJsonArray{QStringLiteral("gateway"), QStringLiteral("energymeter")}},
        {QStringLiteral("paramTypes"), paramTypes},
        {QStringLiteral("stateTypes"), stateTypes},
    };
    const QJsonObject vendor{
        {QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000002")},
        {QStringLiteral("name"), QStringLiteral("acme")},
        {QStringLiteral("displayName"), QStringLiteral("Acme")},
        {QStringLiteral("thingClasses"), QJsonArray{thingClass}},
    };
    return QJsonObject{
        {QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-000000000001")},
        {QStringLiteral("name"), QStringLiteral("Boxes")},
        {QStringLiteral("displayName"), QStringLiteral("Boxes")},
        {QStringLiteral("vendors"), QJsonArray{vendor}},
    };
}

// Sets `key` to `value` (or removes it when `value` is undefined) in the item the path names:
// "" is the plugin, "vendor", "class", "param:<i>" or "state:<i>".
QJsonObject changed(const QString &where, const QString &key, const QJsonValue &value)
{
    QJsonObject plugin = goodDescriptor();
    QJsonArray vendors = plugin.value(QStringLiteral("vendors")).toArray();
    QJsonObject vendor = vendors.at(0).toObject();
    QJsonArray classes = vendor.value(QStringLiteral("thingClasses")).toArray();
    QJsonObject thingClass = classes.at(0).toObject();

    auto apply = [&](QJsonObject *item) {
        if (value.isUndefined())
            item->remove(key);
        else
            item->insert(key, value);
    };
    if (where.isEmpty()) {
        apply(&plugin);
        return plugin;
    }
    if (where == QLatin1String("vendor")) {
        apply(&vendor);
    } else if (where == QLatin1String("class")) {
        apply(&thingClass);
    } else {
        const QStringList parts = where.split(QLatin1Char(':'));
        const QString listKey = parts.at(0) == QLatin1String("param") ? QStringLiteral("paramTypes")
                                                                        : QStringLiteral("stateTypes");
        QJsonArray list = thingClass.value(listKey).toArray();
        QJsonObject entry = list.at(parts.at(1).toInt()).toObject();
        apply(&entry);
        list.replace(parts.at(1).toInt(), entry);
        thingClass.insert(listKey, list);
    }
    classes.replace(0, thingClass);
    vendor.insert(QStringLiteral("thingClasses"), classes);
    vendors.replace(0, vendor);
    plugin.insert(QStringLiteral("vendors"), vendors);
    return plugin;
}

ThingClass boxClass()
{
    PluginMetadata metadata;
    QString error;
    if (!metadata.load(goodDescriptor(), &error) || metadata.thingClasses.isEmpty())
        qFatal("the test descriptor does not load: %s", qPrintable(error));
    return metadata.thingClasses.first();
}

QJsonObject readJsonFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A host with the built plugin loaded.
std::unique_ptr<ThingManager> hostWithPlugin()
{
    auto manager = std::make_unique<ThingManager>();
    QString error;
    if (!manager->loadPlugin(pluginFile(), &error)) {
        qWarning("cannot load the plugin: %s", qPrintable(error));
        return nullptr;
    }
    return manager;
}

// Param list for a class by param name, the way a user names them.
ParamList paramsByName(const ThingClass &thingClass, const QVariantMap &values)
{
    ParamList params;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        const int index = thingClass.paramIndex(it.key());
        if (index >= 0)
            params.append(Param(thingClass.paramTypes().at(index).id, it.value()));
    }
    return params;
}

struct SetupResult
{
    Thing::ThingError error = Thing::ThingErrorSetupFailed;
    bool finished = false;
};

// The setup result the manager reported for `thing` (the last one when there are several).
SetupResult setupResultOf(const QSignalSpy &spy, Thing *thing)
{
    SetupResult result;
    for (const QList<QVariant> &arguments : spy) {
        if (arguments.at(0).value<Thing *>() == thing) {
            result.error = arguments.at(1).value<Thing::ThingError>();
            result.finished = true;
        }
    }
    return result;
}

} // namespace

class TestLibVeyra : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Descriptor reading
    void metadataOfTheBuiltPlugin();
    void metadataConvertsDefaultsToTheirTypes();
    void metadataRejectsBadDescriptors_data();
    void metadataRejectsBadDescriptors();

    // Thing model
    void thingParamsAndStatesByIdAndByName();
    void setStateValueConvertsAndNotifiesOnlyOnChange();
    void setStateValueRefusesUnknownStatesAndBadValues();
    void paramList();

    // Plugin timers and requests
    void timerIntervalIsPeriodTimesUnit();
    void unregisteredTimerNeverFiresAgain();
    void requestFinishedTwiceKeepsTheFirstResult();
    void basePluginAnswersEveryRequest();

    // ThingManager with the built plugin
    void loadPluginsWithoutPluginsGivesReasons();
    void loadingThePluginTwiceIsRefused();
    void addThingCompletesParamsAndSetsUp();
    void autoThingsAreCreatedAndSetUp();
    void removeThingRemovesChildrenFirst();
    void storeRoundTrip();
    void storeRestoresParamsWithTheirTypes();
    void corruptStoreFailsAndKeepsNothing_data();
    void corruptStoreFailsAndKeepsNothing();
    void missingStoreIsEmpty();

private:
    QString m_pluginFile;
};

void TestLibVeyra::initTestCase()
{
    qRegisterMetaType<Thing *>();
    qRegisterMetaType<Thing::ThingError>();
    qRegisterMetaType<StateTypeId>();
    m_pluginFile = pluginFile();
    QVERIFY2(!m_pluginFile.isEmpty(), "no plugin file in " VEYRA_PLUGIN_DIR);
}

// ---- Descriptor reading ----

void TestLibVeyra::metadataOfTheBuiltPlugin()
{
    QPluginLoader loader(m_pluginFile);
    PluginMetadata metadata;
    QString error;
    QVERIFY2(metadata.load(loader.metaData().value(QStringLiteral("MetaData")).toObject(), &error), qPrintable(error));
    QCOMPARE(metadata.name, QStringLiteral("QelLmn"));
    QCOMPARE(metadata.vendorDisplayName, QStringLiteral("Qelmetrik"));
    QCOMPARE(metadata.thingClasses.size(), 33);
    QCOMPARE(metadata.thingClasses.first().name(), lmnClassName);
    QCOMPARE(metadata.thingClasses.last().name(), QStringLiteral("qelLmnMeter32"));
    for (const ThingClass &thingClass : qAsConst(metadata.thingClasses)) {
        QCOMPARE(thingClass.pluginId(), metadata.id);
        QCOMPARE(thingClass.vendorId(), metadata.vendorId);
    }

    // The plugin's string "0" defaults of its energy states are numbers to the host.
    const ThingClass &lmn = metadata.thingClasses.first();
    const StateType &consumed = lmn.stateTypes().at(lmn.stateIndex(QStringLiteral("totalEnergyConsumed")));
    QCOMPARE(consumed.type, int(QMetaType::Double));
    QCOMPARE(consumed.defaultValue.userType(), int(QMetaType::Double));
    QCOMPARE(consumed.defaultValue.toDouble(), 0.0);
    const StateType &connected = lmn.stateTypes().at(lmn.stateIndex(QStringLiteral("connected")));
    QCOMPARE(connected.defaultValue, QVariant(false));
    QCOMPARE(connected.cached, false);
    const ParamType &serverPort = lmn.paramTypes().at(lmn.paramIndex(QStringLiteral("serverPort")));
    QCOMPARE(serverPort.defaultValue, QVariant(QStringLiteral("5000")));
    QVERIFY(serverPort.readOnly);
}

void TestLibVeyra::metadataConvertsDefaultsToTheirTypes()
{
    const ThingClass box = boxClass();
    QVERIFY(box.isValid());
    QCOMPARE(box.name(), QStringLiteral("box"));
    QCOMPARE(box.createMethods(), QStringList{QStringLiteral("user")});
    QCOMPARE(box.interfaces(), (QStringList{QStringLiteral("gateway"), QStringLiteral("energymeter")}));

    struct Expected { const char *name; int type; QVariant value; };
    const Expected states[] = {
        {"connected", QMetaType::Bool, QVariant(false)},
        {"energy", QMetaType::Double, QVariant(0.0)},
        {"count", QMetaType::Int, QVariant(7)},
        {"label", QMetaType::QString, QVariant(QString())},
    };
    for (const Expected &expected : states) {
        const int index = box.stateIndex(QLatin1String(expected.name));
        QVERIFY2(index >= 0, expected.name);
        const StateType &state = box.stateTypes().at(index);
        QCOMPARE(state.type, expected.type);
        QCOMPARE(state.defaultValue.userType(), expected.type);
        QCOMPARE(state.defaultValue, expected.value);
    }
    const ParamType &retries = box.paramTypes().at(box.paramIndex(QStringLiteral("retries")));
    QCOMPARE(retries.defaultValue.userType(), int(QMetaType::UInt));
    QCOMPARE(retries.defaultValue.toUInt(), 3u);
    // Ids and names lead to the same entry.
    QCOMPARE(box.paramIndex(retries.id), box.paramIndex(QStringLiteral("retries")));
    QCOMPARE(box.stateIndex(StateTypeId("00000000-0000-4000-8000-000000000022")),
             box.stateIndex(QStringLiteral("energy")));
    QCOMPARE(box.stateIndex(QStringLiteral("nothing")), -1);
}

void TestLibVeyra::metadataRejectsBadDescriptors_data()
{
    QTest::addColumn<QJsonObject>("descriptor");
    QTest::addColumn<QStringList>("reasonMentions");

    const QJsonValue undefined(QJsonValue::Undefined);
    QTest::newRow("plugin without id") << changed(QString(), QStringLiteral("id"), undefined)
                                       << QStringList{QStringLiteral("Boxes"), QStringLiteral("\"id\"")};
    QTest::newRow("plugin id with braces")
        << changed(QString(), QStringLiteral("id"), QStringLiteral("{00000000-0000-4000-8000-000000000001}"))
        << QStringList{QStringLiteral("\"id\"")};
    QTest::newRow("plugin id in upper case")
        << changed(QString(), QStringLiteral("id"), QStringLiteral("ABCDEF00-0000-4000-8000-000000000001"))
        << QStringList{QStringLiteral("\"id\"")};
    QTest::newRow("plugin without name") << changed(QString(), QStringLiteral("name"), undefined)
                                         << QStringList{QStringLiteral("\"name\"")};
    QTest::newRow("no vendor") << changed(QString(), QStringLiteral("vendors"), QJsonArray())
                               << QStringList{QStringLiteral("vendor")};
    QTest::newRow("vendor id not a uuid") << changed(QStringLiteral("vendor"), QStringLiteral("id"), QStringLiteral("acme"))
                                          << QStringList{QStringLiteral("acme"), QStringLiteral("\"id\"")};
    QTest::newRow("class without id") << changed(QStringLiteral("class"), QStringLiteral("id"), undefined)
                                      << QStringList{QStringLiteral("box"), QStringLiteral("\"id\"")};
    QTest::newRow("class id a number") << changed(QStringLiteral("class"), QStringLiteral("id"), 17)
                                       << QStringList{QStringLiteral("box"), QStringLiteral("\"id\"")};
    QTest::newRow("class without name") << changed(QStringLiteral("class"), QStringLiteral("name"), undefined)
                                        << QStringList{QStringLiteral("\"name\"")};
    QTest::newRow("param with unknown type") << changed(QStringLiteral("param:1"), QStringLiteral("type"), QStringLiteral("float"))
                                             << QStringList{QStringLiteral("retries"), QStringLiteral("float")};
    QTest::newRow("param without type") << changed(QStringLiteral("param:0"), QStringLiteral("type"), undefined)
                                        << QStringList{QStringLiteral("address"), QStringLiteral("\"type\"")};
    QTest::newRow("param without id") << changed(QStringLiteral("param:0"), QStringLiteral("id"), undefined)
                                      << QStringList{QStringLiteral("address"), QStringLiteral("\"id\"")};
    QTest::newRow("param without name") << changed(QStringLiteral("param:0"), QStringLiteral("name"), undefined)
                                        << QStringList{QStringLiteral("box"), QStringLiteral("\"name\"")};
    QTest::newRow("param default not a number")
        << changed(QStringLiteral("param:1"), QStringLiteral("defaultValue"), QStringLiteral("three"))
        << QStringList{QStringLiteral("retries"), QStringLiteral("defaultValue")};
    QTest::newRow("double state default not a number")
        << changed(QStringLiteral("state:1"), QStringLiteral("defaultValue"), QStringLiteral("zero"))
        << QStringList{QStringLiteral("energy"), QStringLiteral("defaultValue")};
    QTest::newRow("int state default a fraction")
        << changed(QStringLiteral("state:2"), QStringLiteral("defaultValue"), QStringLiteral("1.5"))
        << QStringList{QStringLiteral("count"), QStringLiteral("defaultValue")};
    QTest::newRow("state with malformed id")
        << changed(QStringLiteral("state:0"), QStringLiteral("id"), QStringLiteral("00000000-0000-4000-8000-00000000002"))
        << QStringList{QStringLiteral("connected"), QStringLiteral("\"id\"")};
}

void TestLibVeyra::metadataRejectsBadDescriptors()
{
    QFETCH(QJsonObject, descriptor);
    QFETCH(QStringList, reasonMentions);

    PluginMetadata metadata;
    QString error;
    QVERIFY(!metadata.load(descriptor, &error));
    QVERIFY2(!error.isEmpty(), "no reason given");
    for (const QString &mention : qAsConst(reasonMentions))
        QVERIFY2(error.contains(mention), qPrintable(QStringLiteral("\"%1\" does not mention %2").arg(error, mention)));
}

// ---- Thing model ----

void TestLibVeyra::thingParamsAndStatesByIdAndByName()
{
    const ThingClass box = boxClass();
    const ThingId id = ThingId::createId();
    Thing thing(box, id);
    QCOMPARE(thing.id(), id);
    QCOMPARE(thing.thingClassId(), box.id());

    const ParamTypeId addressId = box.paramTypes().at(box.paramIndex(QStringLiteral("address"))).id;
    thing.setParams(ParamList{Param(addressId, QStringLiteral("there"))});
    QCOMPARE(thing.paramValue(addressId), QVariant(QStringLiteral("there")));
    QCOMPARE(thing.paramValue(QStringLiteral("address")), QVariant(QStringLiteral("there")));
    // A param of the class that the thing was given no value for.
    QVERIFY(!thing.paramValue(QStringLiteral("retries")).isValid());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no param named.*nothing")));
    QVERIFY(!thing.paramValue(QStringLiteral("nothing")).isValid());

    // A new thing holds the defaults of its states.
    const StateTypeId energyId = box.stateTypes().at(box.stateIndex(QStringLiteral("energy"))).id;
    QCOMPARE(thing.stateValue(energyId), QVariant(0.0));
    QCOMPARE(thing.stateValue(QStringLiteral("count")), QVariant(7));
    QCOMPARE(thing.stateValue(QStringLiteral("connected")), QVariant(false));
    thing.setStateValue(energyId, 2.5);
    QCOMPARE(thing.stateValue(QStringLiteral("energy")), QVariant(2.5));
    thing.setStateValue(QStringLiteral("energy"), 3.5);
    QCOMPARE(thing.stateValue(energyId), QVariant(3.5));
    QVERIFY(!thing.stateValue(QStringLiteral("nothing")).isValid());
    QVERIFY(!thing.stateValue(StateTypeId::createId()).isValid());
}

void TestLibVeyra::setStateValueConvertsAndNotifiesOnlyOnChange()
{
    const ThingClass box = boxClass();
    Thing thing(box, ThingId::createId());
    QSignalSpy spy(&thing, &Thing::stateValueChanged);
    QSignalSpy sets(&thing, &Thing::stateValueSet);
    const StateTypeId energyId = box.stateTypes().at(box.stateIndex(QStringLiteral("energy"))).id;

    // The default 0.0 compared with 0 of another type is no change, but a value set all the same.
    thing.setStateValue(QStringLiteral("energy"), 0);
    thing.setStateValue(QStringLiteral("energy"), QStringLiteral("0"));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(sets.count(), 2);
    QCOMPARE(sets.at(0).at(0).value<StateTypeId>(), energyId);

    thing.setStateValue(QStringLiteral("energy"), 12);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<StateTypeId>(), energyId);
    QCOMPARE(spy.at(0).at(1).userType(), int(QMetaType::Double));
    QCOMPARE(spy.at(0).at(1).toDouble(), 12.0);
    QCOMPARE(thing.stateValue(energyId).userType(), int(QMetaType::Double));

    thing.setStateValue(energyId, 12.0);
    thing.setStateValue(energyId, QStringLiteral("12"));
    QCOMPARE(spy.count(), 1);

    thing.setStateValue(QStringLiteral("energy"), QStringLiteral("12.25"));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(1), QVariant(12.25));

    thing.setStateValue(QStringLiteral("connected"), 1);
    QCOMPARE(thing.stateValue(QStringLiteral("connected")), QVariant(true));
    thing.setStateValue(QStringLiteral("connected"), true);
    QCOMPARE(spy.count(), 3);

    thing.setStateValue(QStringLiteral("label"), 42);
    QCOMPARE(thing.stateValue(QStringLiteral("label")), QVariant(QStringLiteral("42")));
    QCOMPARE(spy.count(), 4);
    QCOMPARE(sets.count(), 9);
}

void TestLibVeyra::setStateValueRefusesUnknownStatesAndBadValues()
{
    const ThingClass box = boxClass();
    Thing thing(box, ThingId::createId());
    QSignalSpy spy(&thing, &Thing::stateValueChanged);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no state named.*nothing")));
    thing.setStateValue(QStringLiteral("nothing"), 1.0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no state")));
    thing.setStateValue(StateTypeId::createId(), 1.0);

    thing.setStateValue(QStringLiteral("energy"), 5.0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refuses.*energy")));
    thing.setStateValue(QStringLiteral("energy"), QStringLiteral("five"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refuses.*energy")));
    thing.setStateValue(QStringLiteral("energy"), QVariant());
    // A refused value leaves the last good one in place.
    QCOMPARE(thing.stateValue(QStringLiteral("energy")), QVariant(5.0));
    QCOMPARE(spy.count(), 1);
}

void TestLibVeyra::paramList()
{
    const ParamTypeId a = ParamTypeId::createId();
    const ParamTypeId b = ParamTypeId::createId();
    ParamList params{Param(a, 1)};
    QVERIFY(params.hasParam(a));
    QVERIFY(!params.hasParam(b));
    QVERIFY(!params.paramValue(b).isValid());

    // Setting an existing param replaces its value instead of adding a second one.
    params.setParamValue(a, 2);
    QCOMPARE(params.size(), 1);
    QCOMPARE(params.paramValue(a), QVariant(2));
    params.setParamValue(b, QStringLiteral("x"));
    QCOMPARE(params.size(), 2);
    QCOMPARE(params.paramValue(b), QVariant(QStringLiteral("x")));

    // Ids of different kinds never compare, but the same UUID as a param id does.
    QCOMPARE(Param(a, 2), params.at(0));
    QVERIFY(!(Param(a, 3) == params.at(0)));
    QVERIFY(params.hasParam(ParamTypeId(a.toText())));
}

// ---- Plugin timers and requests ----

void TestLibVeyra::timerIntervalIsPeriodTimesUnit()
{
    PluginTimerManager manager;
    QCOMPARE(manager.unitMs(), 1000.0);
    PluginTimer *timer = manager.registerTimer(600);
    QCOMPARE(timer->period(), 600);
    QCOMPARE(timer->intervalMs(), 600000);
    QVERIFY(!timer->isRunning());

    // The unit applies to timers registered before and after it is set.
    manager.setUnitMs(5);
    QCOMPARE(timer->intervalMs(), 3000);
    PluginTimer *later = manager.registerTimer(3);
    QCOMPARE(later->intervalMs(), 15);
    QCOMPARE(manager.timers(), (QList<PluginTimer *>{timer, later}));

    // Fractions of a millisecond add up over a period; an interval is never below 1 ms.
    manager.setUnitMs(0.5);
    QCOMPARE(timer->intervalMs(), 300);
    QCOMPARE(later->intervalMs(), 2);
    manager.setUnitMs(0.01);
    QCOMPARE(timer->intervalMs(), 6);
    QCOMPARE(later->intervalMs(), 1);

    // A long unit times a long period stays a long positive interval, not an overflow.
    manager.setUnitMs(10000000);
    QCOMPARE(timer->intervalMs(), std::numeric_limits<int>::max());

    // A unit that is no length gives the default second back.
    for (double unit : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
        manager.setUnitMs(5);
        manager.setUnitMs(unit);
        QCOMPARE(manager.unitMs(), 1000.0);
        QCOMPARE(timer->intervalMs(), 600000);
    }
}

void TestLibVeyra::unregisteredTimerNeverFiresAgain()
{
    PluginTimerManager manager;
    manager.setUnitMs(1);
    QPointer<PluginTimer> gone = manager.registerTimer(5);
    PluginTimer *kept = manager.registerTimer(5);
    QSignalSpy goneSpy(gone.data(), &PluginTimer::timeout);
    QSignalSpy keptSpy(kept, &PluginTimer::timeout);
    gone->start();
    kept->start();
    QTRY_VERIFY(goneSpy.count() >= 2);

    manager.unregisterTimer(gone);
    QVERIFY(!manager.timers().contains(gone.data()));
    const int firedBefore = goneSpy.count();
    const int keptBefore = keptSpy.count();
    // The timer still registered goes on firing meanwhile, so the event loop ran long enough.
    QTRY_VERIFY(keptSpy.count() >= keptBefore + 3);
    QTRY_VERIFY(gone.isNull());
    QCOMPARE(goneSpy.count(), firedBefore);

    manager.unregisterTimer(kept);
    QVERIFY(manager.timers().isEmpty());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not registered")));
    manager.unregisterTimer(kept);
}

void TestLibVeyra::requestFinishedTwiceKeepsTheFirstResult()
{
    const ThingClass box = boxClass();
    Thing thing(box, ThingId::createId());
    ThingSetupInfo info(&thing);
    QCOMPARE(info.thing(), &thing);
    QVERIFY(!info.isFinished());
    QSignalSpy spy(&info, &HostRequest::finished);

    info.finish(Thing::ThingErrorHardwareNotAvailable, QStringLiteral("first"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("finished twice")));
    info.finish(Thing::ThingErrorNoError, QStringLiteral("second"));
    QVERIFY(info.isFinished());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(info.status(), Thing::ThingErrorHardwareNotAvailable);
    QCOMPARE(info.displayMessage(), QStringLiteral("first"));
}

void TestLibVeyra::basePluginAnswersEveryRequest()
{
    // A plugin that overrides nothing must still finish what the host hands it, or the host
    // would wait for ever.
    IntegrationPlugin plugin;
    QVERIFY(plugin.myThings().isEmpty());
    QVERIFY(!plugin.hardwareManager());

    const ThingClass box = boxClass();
    Thing thing(box, ThingId::createId());
    ThingSetupInfo setup(&thing);
    plugin.setupThing(&setup);
    QVERIFY(setup.isFinished());
    QCOMPARE(setup.status(), Thing::ThingErrorNoError);

    ThingDiscoveryInfo discovery;
    plugin.discoverThings(&discovery);
    ThingActionInfo action;
    plugin.executeAction(&action);
    ThingPairingInfo pairing;
    plugin.confirmPairing(&pairing, QStringLiteral("user"), QStringLiteral("secret"));
    for (HostRequest *request : std::initializer_list<HostRequest *>{&discovery, &action, &pairing}) {
        QVERIFY(request->isFinished());
        QCOMPARE(request->status(), Thing::ThingErrorUnsupportedFeature);
    }

    HardwareManager hardware;
    Things things{&thing};
    plugin.setHostContext(&hardware, [&things] { return things; });
    QCOMPARE(plugin.hardwareManager(), &hardware);
    QCOMPARE(plugin.myThings(), things);
}

// ---- ThingManager with the built plugin ----

void TestLibVeyra::loadPluginsWithoutPluginsGivesReasons()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ThingManager manager;

    QStringList errors;
    QCOMPARE(manager.loadPlugins(dir.path(), &errors), 0);
    QVERIFY2(!errors.isEmpty(), "an empty folder gives no reason");
    QVERIFY2(errors.join(QLatin1Char('\n')).contains(dir.path()), qPrintable(errors.join(QLatin1Char('\n'))));

    errors.clear();
    QCOMPARE(manager.loadPlugins(dir.filePath(QStringLiteral("missing")), &errors), 0);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains(QLatin1String("no such folder")), qPrintable(errors.first()));

    // A file that only looks like a library is named in the reasons, and nothing loads.
    QVERIFY(writeFile(dir.filePath(QStringLiteral("libjunk.so")), "not a library\n"));
    errors.clear();
    QCOMPARE(manager.loadPlugins(dir.path(), &errors), 0);
    QVERIFY2(errors.join(QLatin1Char('\n')).contains(QLatin1String("libjunk.so")), qPrintable(errors.join(QLatin1Char('\n'))));
    QVERIFY(manager.plugins().isEmpty());
}

void TestLibVeyra::loadingThePluginTwiceIsRefused()
{
    ThingManager manager;
    QStringList errors;
    QCOMPARE(manager.loadPlugins(QStringLiteral(VEYRA_PLUGIN_DIR), &errors), 1);
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));
    QCOMPARE(manager.plugins().size(), 1);
    const LoadedPlugin &loaded = manager.plugins().first();
    QVERIFY(loaded.plugin);
    QCOMPARE(loaded.apiVersion, QStringLiteral("7.4.0"));
    QCOMPARE(loaded.metadata.thingClasses.size(), 33);

    const ThingClass *lmn = manager.findThingClass(lmnClassName);
    QVERIFY(lmn);
    QCOMPARE(manager.findThingClass(lmn->id()), lmn);
    QVERIFY(!manager.findThingClass(QStringLiteral("nothing")));
    QVERIFY(!manager.findThingClass(ThingClassId::createId()));
    // The plugin reaches the host's timers through its hardware manager.
    QCOMPARE(loaded.plugin->hardwareManager(), manager.hardwareManager());

    QString error;
    QVERIFY(!manager.loadPlugin(m_pluginFile, &error));
    QVERIFY2(error.contains(QLatin1String("already known")), qPrintable(error));
    QCOMPARE(manager.plugins().size(), 1);
    errors.clear();
    QCOMPARE(manager.loadPlugins(QStringLiteral(VEYRA_PLUGIN_DIR), &errors), 0);
    QCOMPARE(errors.size(), 1);
}

void TestLibVeyra::addThingCompletesParamsAndSetsUp()
{
    auto manager = hostWithPlugin();
    QVERIFY(manager);
    QSignalSpy added(manager.get(), &ThingManager::thingAdded);
    QSignalSpy setup(manager.get(), &ThingManager::thingSetupFinished);
    QSignalSpy states(manager.get(), &ThingManager::thingStateChanged);

    QString error;
    QVERIFY(!manager->addThing(ThingClassId::createId(), QStringLiteral("x"), ParamList(), ThingId(), &error));
    QVERIFY2(error.contains(QLatin1String("unknown thing class")), qPrintable(error));
    QCOMPARE(added.count(), 0);

    // The plugin refuses server port "0" without any traffic, which makes a quick gateway.
    const ThingClass *lmn = manager->findThingClass(lmnClassName);
    Thing *gateway = manager->addThing(lmn->id(), QString(),
                                       paramsByName(*lmn, {{QStringLiteral("serverPort"), QStringLiteral("0")}}));
    QVERIFY(gateway);
    QCOMPARE(added.count(), 1);
    QCOMPARE(gateway->name(), lmn->displayName());
    QCOMPARE(gateway->paramValue(QStringLiteral("port")), QVariant(QStringLiteral("/dev/ttymxc3")));
    QCOMPARE(gateway->paramValue(QStringLiteral("serverPort")), QVariant(QStringLiteral("0")));
    QCOMPARE(gateway->params().size(), lmn->paramTypes().size());
    QTRY_VERIFY(setupResultOf(setup, gateway).finished);
    QCOMPARE(setupResultOf(setup, gateway).error, Thing::ThingErrorInvalidParameter);
    QCOMPARE(gateway->setupStatus(), Thing::SetupStatusFailed);

    const ThingClass *meterClass = manager->findThingClass(QStringLiteral("qelLmnMeter1"));
    Thing *meter = manager->addThing(meterClass->id(), QStringLiteral("1-QEL-000-00000001"),
                                     paramsByName(*meterClass, {{QStringLiteral("deviceID"), QStringLiteral("1-QEL-000-00000001")}}),
                                     gateway->id());
    QTRY_VERIFY(setupResultOf(setup, meter).finished);
    QCOMPARE(setupResultOf(setup, meter).error, Thing::ThingErrorNoError);
    QCOMPARE(meter->setupStatus(), Thing::SetupStatusComplete);
    QCOMPARE(meter->parentId(), gateway->id());

    // The plugin sees exactly the host's things, and their state changes reach the host.
    const IntegrationPlugin *plugin = manager->plugins().first().plugin;
    QCOMPARE(plugin->myThings(), (Things{gateway, meter}));
    states.clear();
    QSignalSpy sets(manager.get(), &ThingManager::thingStateSet);
    meter->setStateValue(QStringLiteral("totalEnergyConsumed"), 1.5);
    QCOMPARE(states.count(), 1);
    QCOMPARE(states.at(0).at(0).value<Thing *>(), meter);
    QCOMPARE(states.at(0).at(2), QVariant(1.5));
    // A fresh reading of the same value is news to the host too, though no change.
    meter->setStateValue(QStringLiteral("totalEnergyConsumed"), 1.5);
    QCOMPARE(states.count(), 1);
    QCOMPARE(sets.count(), 2);
    QCOMPARE(sets.at(1).at(0).value<Thing *>(), meter);
}

void TestLibVeyra::autoThingsAreCreatedAndSetUp()
{
    auto manager = hostWithPlugin();
    QVERIFY(manager);
    const ThingClass *lmn = manager->findThingClass(lmnClassName);
    Thing *gateway = manager->addThing(lmn->id(), QString(),
                                       paramsByName(*lmn, {{QStringLiteral("serverPort"), QStringLiteral("0")}}));
    QVERIFY(gateway);
    QSignalSpy added(manager.get(), &ThingManager::thingAdded);
    QSignalSpy setup(manager.get(), &ThingManager::thingSetupFinished);

    // As the plugin announces meters it found on the bus.
    const ThingClass *meterClass = manager->findThingClass(QStringLiteral("qelLmnMeter2"));
    ThingDescriptor meter(meterClass->id(), QStringLiteral("1-QEL-000-00000007"), QString(), gateway->id());
    meter.setParams(paramsByName(*meterClass, {{QStringLiteral("deviceID"), QStringLiteral("1-QEL-000-00000007")}}));
    ThingDescriptor unknown(ThingClassId::createId(), QStringLiteral("stranger"));
    IntegrationPlugin *plugin = manager->plugins().first().plugin;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unknown class")));
    emit plugin->autoThingsAppeared(ThingDescriptors{unknown, meter});

    QCOMPARE(added.count(), 1);
    auto *created = added.at(0).at(0).value<Thing *>();
    QCOMPARE(created->thingClassId(), meterClass->id());
    QCOMPARE(created->name(), QStringLiteral("1-QEL-000-00000007"));
    QCOMPARE(created->parentId(), gateway->id());
    QCOMPARE(created->paramValue(QStringLiteral("deviceID")), QVariant(QStringLiteral("1-QEL-000-00000007")));
    QVERIFY(created->id() != gateway->id() && !created->id().isNull());
    QTRY_VERIFY(setupResultOf(setup, created).finished);
    QCOMPARE(setupResultOf(setup, created).error, Thing::ThingErrorNoError);
    // The plugin's meter setup copies the device ID into its state.
    QCOMPARE(created->stateValue(QStringLiteral("deviceID")), QVariant(QStringLiteral("1-QEL-000-00000007")));
    QCOMPARE(manager->things().size(), 2);
}

void TestLibVeyra::removeThingRemovesChildrenFirst()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    auto manager = hostWithPlugin();
    QVERIFY(manager);
    manager->setStorePath(store);

    const ThingClass *lmn = manager->findThingClass(lmnClassName);
    Thing *gateway = manager->addThing(lmn->id(), QString(),
                                       paramsByName(*lmn, {{QStringLiteral("serverPort"), QStringLiteral("0")}}));
    auto addMeter = [&](int slot, const ThingId &parent) {
        const ThingClass *meterClass = manager->findThingClass(QStringLiteral("qelLmnMeter%1").arg(slot));
        const QString deviceId = QStringLiteral("1-QEL-000-%1").arg(slot, 8, 10, QLatin1Char('0'));
        return manager->addThing(meterClass->id(), deviceId,
                                 paramsByName(*meterClass, {{QStringLiteral("deviceID"), deviceId}}), parent);
    };
    // A child listed before its parent would be missed by a walk in list order.
    Thing *first = addMeter(1, gateway->id());
    Thing *grandchild = addMeter(3, first->id());
    Thing *second = addMeter(2, gateway->id());
    Thing *loner = addMeter(4, ThingId());
    QCOMPARE(manager->things().size(), 5);

    QList<ThingId> removed;
    connect(manager.get(), &ThingManager::thingRemoved, this, [&removed](Thing *thing) { removed.append(thing->id()); });
    QPointer<Thing> gatewayGuard(gateway);
    QPointer<Thing> grandchildGuard(grandchild);

    QVERIFY(!manager->removeThing(ThingId::createId()));
    QVERIFY(removed.isEmpty());

    const ThingId gatewayId = gateway->id();
    QVERIFY(manager->removeThing(gatewayId));
    QCOMPARE(removed.size(), 4);
    QCOMPARE(removed.last(), gatewayId);
    QVERIFY(removed.indexOf(grandchild->id()) < removed.indexOf(first->id()));
    QVERIFY(removed.contains(second->id()));
    QCOMPARE(manager->things(), Things{loner});
    QVERIFY(!manager->findThing(gatewayId));
    QVERIFY(!manager->removeThing(gatewayId));

    // The store follows at once, and the removed objects go once control returns to the loop.
    const QJsonArray stored = readJsonFile(store).value(QStringLiteral("things")).toArray();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.at(0).toObject().value(QStringLiteral("id")).toString(), loner->id().toText());
    QTRY_VERIFY(gatewayGuard.isNull() && grandchildGuard.isNull());
}

void TestLibVeyra::storeRoundTrip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));

    struct Saved { ThingId id; ThingClassId classId; QString name; ParamList params; ThingId parentId; };
    QList<Saved> saved;
    {
        auto manager = hostWithPlugin();
        QVERIFY(manager);
        manager->setStorePath(store);
        const ThingClass *lmn = manager->findThingClass(lmnClassName);
        Thing *gateway = manager->addThing(lmn->id(), QStringLiteral("Basement"),
                                           paramsByName(*lmn, {{QStringLiteral("serverPort"), QStringLiteral("0")},
                                                               {QStringLiteral("port"), QStringLiteral("/dev/ttyUSB1")}}));
        for (int slot : {5, 9}) {
            const ThingClass *meterClass = manager->findThingClass(QStringLiteral("qelLmnMeter%1").arg(slot));
            const QString deviceId = QStringLiteral("1-QEL-000-%1").arg(slot, 8, 10, QLatin1Char('0'));
            QVERIFY(manager->addThing(meterClass->id(), deviceId,
                                      paramsByName(*meterClass, {{QStringLiteral("deviceID"), deviceId}}), gateway->id()));
        }
        for (Thing *thing : manager->things())
            saved.append({thing->id(), thing->thingClassId(), thing->name(), thing->params(), thing->parentId()});
        QVERIFY(QFile::exists(store));
    }

    // Write the store so that the meters come before their gateway.
    QJsonObject document = readJsonFile(store);
    QJsonArray things = document.value(QStringLiteral("things")).toArray();
    QCOMPARE(things.size(), 3);
    things.append(things.takeAt(0));
    document.insert(QStringLiteral("things"), things);
    QVERIFY(writeFile(store, QJsonDocument(document).toJson()));

    auto manager = hostWithPlugin();
    QVERIFY(manager);
    manager->setStorePath(store);
    QSignalSpy setup(manager.get(), &ThingManager::thingSetupFinished);
    QString error;
    QVERIFY2(manager->restoreThings(&error), qPrintable(error));
    QCOMPARE(manager->things().size(), saved.size());
    for (const Saved &expected : qAsConst(saved)) {
        Thing *thing = manager->findThing(expected.id);
        QVERIFY2(thing, qPrintable(expected.name));
        QCOMPARE(thing->thingClassId(), expected.classId);
        QCOMPARE(thing->name(), expected.name);
        QCOMPARE(thing->params(), expected.params);
        QCOMPARE(thing->parentId(), expected.parentId);
    }
    // Parents are set up before their children, whatever the order in the file.
    QTRY_COMPARE(setup.count(), 3);
    QCOMPARE(setup.at(0).at(0).value<Thing *>()->id(), saved.first().id);
    QCOMPARE(setup.at(0).at(1).value<Thing::ThingError>(), Thing::ThingErrorInvalidParameter);
    QCOMPARE(setup.at(1).at(1).value<Thing::ThingError>(), Thing::ThingErrorNoError);
    QCOMPARE(setup.at(2).at(1).value<Thing::ThingError>(), Thing::ThingErrorNoError);

    // Restoring twice does not double anything.
    for (int i = 0; i < 3; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot be restored")));
    QVERIFY(manager->restoreThings(&error));
    QCOMPARE(manager->things().size(), saved.size());
}

void TestLibVeyra::storeRestoresParamsWithTheirTypes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    auto manager = hostWithPlugin();
    QVERIFY(manager);
    const ThingClass *lmn = manager->findThingClass(lmnClassName);
    const QString serverPortId = lmn->paramTypes().at(lmn->paramIndex(QStringLiteral("serverPort"))).id.toText();

    // A store written by hand: a number where the class wants text, a param of no class, and a
    // thing of a class that no plugin offers.
    const QJsonArray things{
        QJsonObject{{QStringLiteral("id"), ThingId::createId().toText()},
                    {QStringLiteral("thingClassId"), lmn->id().toText()},
                    {QStringLiteral("name"), QStringLiteral("Hand made")},
                    {QStringLiteral("params"), QJsonObject{{serverPortId, 0},
                                                           {ParamTypeId::createId().toText(), QStringLiteral("x")}}},
                    {QStringLiteral("parentId"), QJsonValue()}},
        QJsonObject{{QStringLiteral("id"), ThingId::createId().toText()},
                    {QStringLiteral("thingClassId"), ThingClassId::createId().toText()},
                    {QStringLiteral("name"), QStringLiteral("Unknown")},
                    {QStringLiteral("params"), QJsonObject()},
                    {QStringLiteral("parentId"), QJsonValue()}},
    };
    const QJsonObject document{{QStringLiteral("things"), things}, {QStringLiteral("other host"), 7}};
    QVERIFY(writeFile(store, QJsonDocument(document).toJson()));
    manager->setStorePath(store);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot be restored.*Unknown")));
    QString error;
    QVERIFY2(manager->restoreThings(&error), qPrintable(error));
    QCOMPARE(manager->things().size(), 1);
    Thing *gateway = manager->things().first();
    QCOMPARE(gateway->params().size(), lmn->paramTypes().size());
    QCOMPARE(gateway->paramValue(QStringLiteral("serverPort")).userType(), int(QMetaType::QString));
    QCOMPARE(gateway->paramValue(QStringLiteral("serverPort")), QVariant(QStringLiteral("0")));
    QCOMPARE(gateway->paramValue(QStringLiteral("port")), QVariant(QStringLiteral("/dev/ttymxc3")));

    // What this host does not understand is written back as it came.
    QVERIFY(manager->removeThing(gateway->id()));
    const QJsonObject saved = readJsonFile(store);
    QCOMPARE(saved.value(QStringLiteral("other host")).toInt(), 7);
    QCOMPARE(saved.value(QStringLiteral("things")).toArray(), QJsonArray{things.at(1)});
}

void TestLibVeyra::corruptStoreFailsAndKeepsNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("mention");
    QTest::newRow("not JSON") << QByteArray("{\"things\": [ {\"id\": ") << QStringLiteral("not JSON");
    QTest::newRow("an array") << QByteArray("[]") << QStringLiteral("JSON array");
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("empty");
    QTest::newRow("blank file") << QByteArray("\n") << QStringLiteral("empty");
    QTest::newRow("things not an array") << QByteArray("{\"things\": {}}") << QStringLiteral("\"things\"");
}

void TestLibVeyra::corruptStoreFailsAndKeepsNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, mention);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    QVERIFY(writeFile(store, content));

    auto manager = hostWithPlugin();
    QVERIFY(manager);
    QSignalSpy added(manager.get(), &ThingManager::thingAdded);
    manager->setStorePath(store);
    QString error;
    QVERIFY(!manager->restoreThings(&error));
    QVERIFY2(error.contains(store) && error.contains(mention), qPrintable(error));
    QVERIFY(manager->things().isEmpty());
    QCOMPARE(added.count(), 0);
    // The file is left as it was, for a person to look at.
    QFile file(store);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

void TestLibVeyra::missingStoreIsEmpty()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    auto manager = hostWithPlugin();
    QVERIFY(manager);
    manager->setStorePath(store);
    QString error;
    QVERIFY2(manager->restoreThings(&error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QVERIFY(manager->things().isEmpty());
    QVERIFY(!QFile::exists(store));

    // The first thing creates the file.
    const ThingClass *lmn = manager->findThingClass(lmnClassName);
    Thing *gateway = manager->addThing(lmn->id(), QString(),
                                       paramsByName(*lmn, {{QStringLiteral("serverPort"), QStringLiteral("0")}}));
    const QJsonArray stored = readJsonFile(store).value(QStringLiteral("things")).toArray();
    QCOMPARE(stored.size(), 1);
    const QJsonObject object = stored.at(0).toObject();
    QCOMPARE(object.value(QStringLiteral("id")).toString(), gateway->id().toText());
    QCOMPARE(object.value(QStringLiteral("thingClassId")).toString(), lmn->id().toText());
    QVERIFY(object.value(QStringLiteral("parentId")).isNull());
}

int main(int argc, char *argv[])
{
    // Shortens the plugin's fixed intervals; read once, when the plugin first arms a timer.
    qputenv("QELLMN_TIME_SCALE", "0.01");
    QCoreApplication app(argc, argv);
    TestLibVeyra test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_libveyra.moc"

// How the host reads a plugin's descriptor: the fields, defaults converted to their types, and
// the reasons it gives for a descriptor it refuses.

#include "libveyratest.h"

#include <veyra/thingclass.h>

#include <QJsonArray>
#include <QtTest>

namespace {

// Sets `key` to `value` (or removes it when `value` is undefined) in the item the path names:
// "" is the plugin, "vendor", "class", "param:<i>" or "state:<i>".
QJsonObject changed(const QString &where, const QString &key, const QJsonValue &value)
{
    QJsonObject plugin = descriptor();
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

} // namespace

class TestLibVeyraDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void metadataOfABuiltPlugin()
    {
        PluginMetadata metadata;
        QString error;
        QVERIFY2(metadata.load(descriptor(), &error), qPrintable(error));
        QCOMPARE(metadata.name, QStringLiteral("Boxes"));
        QCOMPARE(metadata.vendorDisplayName, QStringLiteral("Acme"));
        QCOMPARE(metadata.thingClasses.size(), 2);
        QCOMPARE(metadata.thingClasses.first().name(), QStringLiteral("box"));
        QCOMPARE(metadata.thingClasses.last().name(), QStringLiteral("part"));
        for (const ThingClass &thingClass : qAsConst(metadata.thingClasses)) {
            QCOMPARE(thingClass.pluginId(), metadata.id);
            QCOMPARE(thingClass.vendorId(), metadata.vendorId);
        }
    }

    void metadataConvertsDefaultsToTheirTypes()
    {
        const ThingClass box = boxClass();
        QVERIFY(box.isValid());
        QCOMPARE(box.name(), QStringLiteral("box"));
        QCOMPARE(box.createMethods(), QStringList{QStringLiteral("user")});
        QCOMPARE(box.interfaces(), (QStringList{QStringLiteral("gateway"), QStringLiteral("energymeter")}));

        // The string "0" of a double state is a number to the host; states are cached unless told.
        struct Expected {
            const char *name;
            int type;
            QVariant value;
            bool cached;
        };
        const Expected states[] = {
            {"connected", QMetaType::Bool, QVariant(false), false},
            {"energy", QMetaType::Double, QVariant(0.0), true},
            {"count", QMetaType::Int, QVariant(7), true},
            {"label", QMetaType::QString, QVariant(QString()), true},
        };
        for (const Expected &expected : states) {
            const int index = box.stateIndex(QLatin1String(expected.name));
            QVERIFY2(index >= 0, expected.name);
            const StateType &state = box.stateTypes().at(index);
            QCOMPARE(state.type, expected.type);
            QCOMPARE(state.defaultValue.userType(), expected.type);
            QCOMPARE(state.defaultValue, expected.value);
            QCOMPARE(state.cached, expected.cached);
        }
        const ParamType &address = box.paramTypes().at(box.paramIndex(QStringLiteral("address")));
        QCOMPARE(address.defaultValue, QVariant(QStringLiteral("here")));
        QVERIFY(address.readOnly);
        const ParamType &retries = box.paramTypes().at(box.paramIndex(QStringLiteral("retries")));
        QCOMPARE(retries.defaultValue.userType(), int(QMetaType::UInt));
        QCOMPARE(retries.defaultValue.toUInt(), 3u);
        QVERIFY(!retries.readOnly);
        // Ids and names lead to the same entry.
        QCOMPARE(box.paramIndex(retries.id), box.paramIndex(QStringLiteral("retries")));
        QCOMPARE(box.stateIndex(StateTypeId("00000000-0000-4000-8000-000000000022")),
                 box.stateIndex(QStringLiteral("energy")));
        QCOMPARE(box.stateIndex(QStringLiteral("nothing")), -1);
    }

    void metadataRejectsBadDescriptors_data()
    {
        QTest::addColumn<QJsonObject>("descriptor");
        QTest::addColumn<QStringList>("reasonMentions");

        // Where to change the good descriptor, which key, its new value (undefined: removed), and
        // what the reason must mention ('|' between mentions).
        struct Row {
            const char *tag;
            const char *where;
            const char *key;
            QJsonValue value;
            const char *mentions;
        };
        const QJsonValue undefined(QJsonValue::Undefined);
        const Row rows[] = {
            {"plugin without id", "", "id", undefined, "Boxes|\"id\""},
            {"plugin id with braces", "", "id", QStringLiteral("{00000000-0000-4000-8000-000000000001}"), "\"id\""},
            {"plugin id in upper case", "", "id", QStringLiteral("ABCDEF00-0000-4000-8000-000000000001"), "\"id\""},
            {"plugin without name", "", "name", undefined, "\"name\""},
            {"no vendor", "", "vendors", QJsonArray(), "vendor"},
            {"vendor id not a uuid", "vendor", "id", QStringLiteral("acme"), "acme|\"id\""},
            {"class without id", "class", "id", undefined, "box|\"id\""},
            {"class id a number", "class", "id", 17, "box|\"id\""},
            {"class without name", "class", "name", undefined, "\"name\""},
            {"param with unknown type", "param:1", "type", QStringLiteral("float"), "retries|float"},
            {"param without type", "param:0", "type", undefined, "address|\"type\""},
            {"param without id", "param:0", "id", undefined, "address|\"id\""},
            {"param without name", "param:0", "name", undefined, "box|\"name\""},
            {"param default not a number", "param:1", "defaultValue", QStringLiteral("three"), "retries|defaultValue"},
            {"double state default not a number", "state:1", "defaultValue", QStringLiteral("zero"),
             "energy|defaultValue"},
            {"int state default a fraction", "state:2", "defaultValue", QStringLiteral("1.5"), "count|defaultValue"},
            {"state with malformed id", "state:0", "id", QStringLiteral("00000000-0000-4000-8000-00000000002"),
             "connected|\"id\""},
        };
        for (const Row &row : rows)
            QTest::newRow(row.tag) << changed(QLatin1String(row.where), QLatin1String(row.key), row.value)
                                   << QString::fromLatin1(row.mentions).split(QLatin1Char('|'));
    }

    void metadataRejectsBadDescriptors()
    {
        QFETCH(QJsonObject, descriptor);
        QFETCH(QStringList, reasonMentions);

        PluginMetadata metadata;
        QString error;
        QVERIFY(!metadata.load(descriptor, &error));
        QVERIFY2(!error.isEmpty(), "no reason given");
        for (const QString &mention : qAsConst(reasonMentions))
            QVERIFY2(error.contains(mention),
                     qPrintable(QStringLiteral("\"%1\" does not mention %2").arg(error, mention)));
    }
};

QTEST_GUILESS_MAIN(TestLibVeyraDescriptor)

#include "tst_libveyra_descriptor.moc"

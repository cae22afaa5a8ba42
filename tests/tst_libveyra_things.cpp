// The thing model on its own: params and states by id and by name, state conversion and
// notification, and param lists.

#include "libveyratest.h"

#include <veyra/param.h>
#include <veyra/thing.h>

#include <QtTest>

class TestLibVeyraThings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<StateTypeId>(); }

    void thingParamsAndStatesByIdAndByName()
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
        const StateTypeId energyId = rig::stateTypeId(box, QStringLiteral("energy"));
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

    void setStateValueConvertsAndNotifiesOnlyOnChange()
    {
        const ThingClass box = boxClass();
        Thing thing(box, ThingId::createId());
        QSignalSpy spy(&thing, &Thing::stateValueChanged);
        QSignalSpy sets(&thing, &Thing::stateValueSet);
        const StateTypeId energyId = rig::stateTypeId(box, QStringLiteral("energy"));

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

    void setStateValueRefusesUnknownStatesAndBadValues()
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

    void paramList()
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
};

QTEST_GUILESS_MAIN(TestLibVeyraThings)

#include "tst_libveyra_things.moc"

// ThingManager hosting the fake plugin: loading, setup, auto things, removal and the thing store.

#include "libveyratest.h"

#include <QJsonArray>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// `dir`, a fresh folder, and `store`, a file in it.
#define FRESH_STORE()                                                                                                  \
    QTemporaryDir dir;                                                                                                 \
    QVERIFY(dir.isValid());                                                                                            \
    const QString store = dir.filePath(QStringLiteral("things.json"))

const QString boxName = QStringLiteral("box");

// A box without retries is refused by the plugin at once, which makes a quick parent.
Thing *addBox(ThingManager *manager, const QString &name = QString(),
              const QVariantMap &params = {{QStringLiteral("retries"), 0}})
{
    const ThingClass *box = manager->findThingClass(boxName);
    return manager->addThing(box->id(), name, paramsByName(*box, params));
}

Thing *addPart(ThingManager *manager, const QString &serial, const ThingId &parent)
{
    const ThingClass *part = manager->findThingClass(QStringLiteral("part"));
    return manager->addThing(part->id(), serial, paramsByName(*part, {{QStringLiteral("serial"), serial}}), parent);
}

} // namespace

class TestLibVeyraManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<Thing *>();
        qRegisterMetaType<Thing::ThingError>();
        qRegisterMetaType<StateTypeId>();
    }

    void loadPluginsWithoutPluginsGivesReasons()
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
        QVERIFY2(errors.join(QLatin1Char('\n')).contains(QLatin1String("libjunk.so")),
                 qPrintable(errors.join(QLatin1Char('\n'))));
        QVERIFY(manager.plugins().isEmpty());
    }

    void loadingThePluginTwiceIsRefused()
    {
        ThingManager manager;
        QStringList errors;
        QCOMPARE(manager.loadPlugins(pluginDir(), &errors), 1);
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));
        QCOMPARE(manager.plugins().size(), 1);
        const LoadedPlugin &loaded = manager.plugins().first();
        QVERIFY(loaded.plugin);
        QCOMPARE(loaded.apiVersion, QStringLiteral(VEYRA_API_VERSION));
        QCOMPARE(loaded.metadata.thingClasses.size(), 2);

        const ThingClass *box = manager.findThingClass(boxName);
        QVERIFY(box);
        QCOMPARE(manager.findThingClass(box->id()), box);
        QVERIFY(!manager.findThingClass(QStringLiteral("nothing")));
        QVERIFY(!manager.findThingClass(ThingClassId::createId()));
        // The plugin reaches the host's timers through its hardware manager.
        QCOMPARE(loaded.plugin->hardwareManager(), manager.hardwareManager());

        QString error;
        QVERIFY(!manager.loadPlugin(pluginFile(), &error));
        QVERIFY2(error.contains(QLatin1String("already known")), qPrintable(error));
        QCOMPARE(manager.plugins().size(), 1);
        errors.clear();
        QCOMPARE(manager.loadPlugins(pluginDir(), &errors), 0);
        QCOMPARE(errors.size(), 1);
    }

    void addThingCompletesParamsAndSetsUp()
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

        const ThingClass *box = manager->findThingClass(boxName);
        Thing *gateway = addBox(manager.get());
        QVERIFY(gateway);
        QCOMPARE(added.count(), 1);
        QCOMPARE(gateway->name(), box->displayName());
        QCOMPARE(gateway->paramValue(QStringLiteral("address")), QVariant(QStringLiteral("here")));
        QCOMPARE(gateway->paramValue(QStringLiteral("retries")), QVariant(0u));
        QCOMPARE(gateway->params().size(), box->paramTypes().size());
        QTRY_VERIFY(setupResultOf(setup, gateway).finished);
        QCOMPARE(setupResultOf(setup, gateway).error, Thing::ThingErrorInvalidParameter);
        QCOMPARE(gateway->setupStatus(), Thing::SetupStatusFailed);

        Thing *part = addPart(manager.get(), QStringLiteral("P-1"), gateway->id());
        QTRY_VERIFY(setupResultOf(setup, part).finished);
        QCOMPARE(setupResultOf(setup, part).error, Thing::ThingErrorNoError);
        QCOMPARE(part->setupStatus(), Thing::SetupStatusComplete);
        QCOMPARE(part->parentId(), gateway->id());

        // The plugin sees exactly the host's things, and their state changes reach the host.
        const IntegrationPlugin *plugin = manager->plugins().first().plugin;
        QCOMPARE(plugin->myThings(), (Things{gateway, part}));
        states.clear();
        QSignalSpy sets(manager.get(), &ThingManager::thingStateSet);
        part->setStateValue(QStringLiteral("reading"), 1.5);
        QCOMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).value<Thing *>(), part);
        QCOMPARE(states.at(0).at(2), QVariant(1.5));
        // A fresh reading of the same value is news to the host too, though no change.
        part->setStateValue(QStringLiteral("reading"), 1.5);
        QCOMPARE(states.count(), 1);
        QCOMPARE(sets.count(), 2);
        QCOMPARE(sets.at(1).at(0).value<Thing *>(), part);
    }

    void autoThingsAreCreatedAndSetUp()
    {
        auto manager = hostWithPlugin();
        QVERIFY(manager);
        Thing *gateway = addBox(manager.get());
        QVERIFY(gateway);
        QSignalSpy added(manager.get(), &ThingManager::thingAdded);
        QSignalSpy setup(manager.get(), &ThingManager::thingSetupFinished);

        // As a plugin announces things it found below its gateway.
        const ThingClass *partClass = manager->findThingClass(QStringLiteral("part"));
        ThingDescriptor part(partClass->id(), QStringLiteral("P-7"), QString(), gateway->id());
        part.setParams(paramsByName(*partClass, {{QStringLiteral("serial"), QStringLiteral("P-7")}}));
        ThingDescriptor unknown(ThingClassId::createId(), QStringLiteral("stranger"));
        IntegrationPlugin *plugin = manager->plugins().first().plugin;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unknown class")));
        emit plugin->autoThingsAppeared(ThingDescriptors{unknown, part});

        QCOMPARE(added.count(), 1);
        auto *created = added.at(0).at(0).value<Thing *>();
        QCOMPARE(created->thingClassId(), partClass->id());
        QCOMPARE(created->name(), QStringLiteral("P-7"));
        QCOMPARE(created->parentId(), gateway->id());
        QCOMPARE(created->paramValue(QStringLiteral("serial")), QVariant(QStringLiteral("P-7")));
        QVERIFY(created->id() != gateway->id() && !created->id().isNull());
        QTRY_VERIFY(setupResultOf(setup, created).finished);
        QCOMPARE(setupResultOf(setup, created).error, Thing::ThingErrorNoError);
        // The plugin's part setup copies the serial into its state.
        QCOMPARE(created->stateValue(QStringLiteral("serial")), QVariant(QStringLiteral("P-7")));
        QCOMPARE(manager->things().size(), 2);
    }

    void thingRemovedDuringItsSetupGetsNoResult()
    {
        auto manager = hostWithPlugin();
        QVERIFY(manager);
        Thing *gateway = addBox(manager.get());
        QSignalSpy setup(manager.get(), &ThingManager::thingSetupFinished);
        // A part's setup sets a state before it finishes: the thing is removed right then, as a
        // user may remove a thing while its plugin waits for its hardware. This part's setup then
        // waits in an event loop, in which the removed thing is deleted.
        connect(manager.get(), &ThingManager::thingStateChanged, this,
                [&manager](Thing *thing) { manager->removeThing(thing->id()); });
        // A thing deleted before its setup returned is not handed out.
        QCOMPARE(addPart(manager.get(), QStringLiteral("wait-1"), gateway->id()), nullptr);
        QCOMPARE(setup.count(), 0);
        QCOMPARE(manager->things(), Things{gateway});
    }

    void removeThingRemovesChildrenFirst()
    {
        FRESH_STORE();
        auto manager = hostWithPlugin(store);
        QVERIFY(manager);

        Thing *gateway = addBox(manager.get());
        // A child listed before its parent would be missed by a walk in list order.
        Thing *first = addPart(manager.get(), QStringLiteral("P-1"), gateway->id());
        Thing *grandchild = addPart(manager.get(), QStringLiteral("P-3"), first->id());
        Thing *second = addPart(manager.get(), QStringLiteral("P-2"), gateway->id());
        Thing *loner = addPart(manager.get(), QStringLiteral("P-4"), ThingId());
        QCOMPARE(manager->things().size(), 5);

        QList<ThingId> removed;
        connect(manager.get(), &ThingManager::thingRemoved, this,
                [&removed](Thing *thing) { removed.append(thing->id()); });
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

    void storeRoundTrip()
    {
        FRESH_STORE();

        struct Saved {
            ThingId id;
            ThingClassId classId;
            QString name;
            ParamList params;
            ThingId parentId;
        };
        QList<Saved> saved;
        {
            auto manager = hostWithPlugin(store);
            QVERIFY(manager);
            Thing *gateway = addBox(
                manager.get(), QStringLiteral("Basement"),
                {{QStringLiteral("retries"), 0}, {QStringLiteral("address"), QStringLiteral("shelf")}});
            for (const QString &serial : {QStringLiteral("P-5"), QStringLiteral("P-9")})
                QVERIFY(addPart(manager.get(), serial, gateway->id()));
            for (Thing *thing : manager->things())
                saved.append({thing->id(), thing->thingClassId(), thing->name(), thing->params(), thing->parentId()});
            // Cached states are kept; "connected" is not cached.
            gateway->setStateValue(QStringLiteral("energy"), 1234.5);
            gateway->setStateValue(QStringLiteral("connected"), true);
            QVERIFY(manager->storeOutdated());
            QVERIFY(manager->saveStore());
            QVERIFY(!manager->storeOutdated());
        }

        // Write the store so that the parts come before their box.
        QJsonObject document = readJsonFile(store);
        QJsonArray things = document.value(QStringLiteral("things")).toArray();
        QCOMPARE(things.size(), 3);
        QJsonObject box = things.takeAt(0).toObject();
        // A state of a later plugin version, unknown to this one.
        const QString laterState = StateTypeId::createId().toText();
        QJsonObject states = box.value(QStringLiteral("states")).toObject();
        QCOMPARE(states.size(), 3);
        states.insert(laterState, QStringLiteral("kept"));
        box.insert(QStringLiteral("states"), states);
        things.append(box);
        document.insert(QStringLiteral("things"), things);
        QVERIFY(writeFile(store, QJsonDocument(document).toJson()));

        auto manager = hostWithPlugin(store);
        QVERIFY(manager);
        QSignalSpy setup(manager.get(), &ThingManager::thingSetupFinished);
        QString error;
        QVERIFY2(manager->loadStore(&error), qPrintable(error));
        // The last values are there before the plugin sets the thing up.
        Thing *restoredBox = manager->findThing(saved.first().id);
        QVERIFY(restoredBox);
        QCOMPARE(restoredBox->stateValue(QStringLiteral("energy")), QVariant(1234.5));
        QCOMPARE(restoredBox->stateValue(QStringLiteral("connected")), QVariant(false));
        manager->setupStoredThings();
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

        QVERIFY(manager->saveStore());
        const QJsonArray rewritten = readJsonFile(store).value(QStringLiteral("things")).toArray();
        QCOMPARE(rewritten.at(0).toObject().value(QStringLiteral("states")).toObject().value(laterState).toString(),
                 QStringLiteral("kept"));

        // Restoring twice does not double anything.
        for (int i = 0; i < 3; ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot be restored")));
        QVERIFY(manager->restoreThings(&error));
        QCOMPARE(manager->things().size(), saved.size());
    }

    void storeRestoresParamsWithTheirTypes()
    {
        FRESH_STORE();
        auto manager = hostWithPlugin();
        QVERIFY(manager);
        const ThingClass *box = manager->findThingClass(boxName);
        const QString addressId = box->paramTypes().at(box->paramIndex(QStringLiteral("address"))).id.toText();

        // A store written by hand: a number where the class wants text, a param of no class, and a
        // thing of a class that no plugin offers.
        const QJsonArray things{
            QJsonObject{{QStringLiteral("id"), ThingId::createId().toText()},
                        {QStringLiteral("thingClassId"), box->id().toText()},
                        {QStringLiteral("name"), QStringLiteral("Hand made")},
                        {QStringLiteral("params"),
                         QJsonObject{{addressId, 0}, {ParamTypeId::createId().toText(), QStringLiteral("x")}}},
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
        QCOMPARE(gateway->params().size(), box->paramTypes().size());
        QCOMPARE(gateway->paramValue(QStringLiteral("address")).userType(), int(QMetaType::QString));
        QCOMPARE(gateway->paramValue(QStringLiteral("address")), QVariant(QStringLiteral("0")));
        QCOMPARE(gateway->paramValue(QStringLiteral("retries")), QVariant(3u));

        // What this host does not understand is written back as it came.
        QVERIFY(manager->removeThing(gateway->id()));
        const QJsonObject saved = readJsonFile(store);
        QCOMPARE(saved.value(QStringLiteral("other host")).toInt(), 7);
        QCOMPARE(saved.value(QStringLiteral("things")).toArray(), QJsonArray{things.at(1)});
    }

    void everyPathToAStoreTakesOneLock_data()
    {
        QTest::addColumn<QString>("second"); // how the second host names the store
        QTest::newRow("symlink") << QStringLiteral("link.json");
        QTest::newRow("symlinked folder") << QStringLiteral("linked/things.json");
        QTest::newRow("relative path") << QStringLiteral("relative");
        QTest::newRow("hard link") << QStringLiteral("hard.json");
    }

    void everyPathToAStoreTakesOneLock()
    {
        QFETCH(QString, second);
        FRESH_STORE();
        QVERIFY(writeFile(store, "{}"));
        if (second == QLatin1String("hard.json")) {
            QCOMPARE(::link(QFile::encodeName(store).constData(), QFile::encodeName(dir.filePath(second)).constData()),
                     0);
            // Said by the first host, and by the second before the first save split the names.
            for (int warned = 0; warned < 2; ++warned)
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("has 2 names \\(hard links\\)")));
        }
        QVERIFY(QFile::link(store, dir.filePath(QStringLiteral("link.json"))));
        QVERIFY(QFile::link(dir.path(), dir.filePath(QStringLiteral("linked"))));
        const QString path = second == QLatin1String("relative") ? QDir::current().relativeFilePath(store)
                                                                 : dir.filePath(second);
        ThingManager first;
        first.setStorePath(store);
        QString error;
        QVERIFY2(first.claimStore(&error), qPrintable(error));
        ThingManager other;
        other.setStorePath(path);
        // A save replaces the file: the lock goes with it, and the file first claimed stays locked.
        for (int save = 0; save < 2; ++save) {
            QVERIFY(!other.claimStore(&error));
            QVERIFY2(error.contains(QLatin1String("in use by another host")), qPrintable(error));
            QVERIFY(first.saveStore());
        }

        // Saved through the link, the store stays where it is and the link stays a link.
        first.releaseStore();
        QVERIFY2(other.claimStore(&error), qPrintable(error));
        QVERIFY(other.saveStore());
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("link.json"))).isSymLink());
        QVERIFY(readJsonFile(second == QLatin1String("hard.json") ? path : store).contains(QStringLiteral("things")));
    }

    // Needs root for a small tmpfs: a disk that fills up, a file system that turns read-only.
    void failedSaveKeepsThePreviousStore_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("disk full") << QStringLiteral("full");
        QTest::newRow("read-only") << QStringLiteral("ro");
    }

    void failedSaveKeepsThePreviousStore()
    {
        QFETCH(QString, fault);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        auto mount = [&dir](const QStringList &options) {
            return QProcess::execute(QStringLiteral("mount"),
                                     QStringList{QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o")}
                                         + options + QStringList{QStringLiteral("tmpfs"), dir.path()})
                   == 0;
        };
        if (!mount({QStringLiteral("size=64k")}))
            QSKIP("this machine does not let the test mount a small tmpfs");
        const auto unmount = qScopeGuard(
            [&dir] { QProcess::execute(QStringLiteral("umount"), QStringList{dir.path()}); });
        const QString store = dir.filePath(QStringLiteral("things.json"));

        auto manager = hostWithPlugin(store);
        QVERIFY(manager);
        QVERIFY(addBox(manager.get(), QStringLiteral("kept")));
        QFile previous(store);
        QVERIFY(previous.open(QIODevice::ReadOnly));
        const QByteArray content = previous.readAll();
        previous.close();
        QVERIFY(content.contains("kept"));

        if (fault == QLatin1String("full")) {
            QFile filler(dir.filePath(QStringLiteral("filler")));
            QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            const QByteArray block(4096, 'x');
            while (filler.write(block) == block.size()) {
            }
        } else {
            QVERIFY(mount({QStringLiteral("remount,ro")}));
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Cannot write the thing store")));
        QVERIFY(addBox(manager.get(), QStringLiteral("lost")));
        QVERIFY2(manager->lastSaveError().contains(store), qPrintable(manager->lastSaveError()));
        QVERIFY(manager->storeOutdated());
        QVERIFY(previous.open(QIODevice::ReadOnly));
        QCOMPARE(previous.readAll(), content);
        previous.close();

        // Room again: the next save writes everything.
        if (fault == QLatin1String("full"))
            QVERIFY(QFile::remove(dir.filePath(QStringLiteral("filler"))));
        else
            QVERIFY(mount({QStringLiteral("remount,rw")}));
        QVERIFY(manager->saveStore());
        QVERIFY(manager->lastSaveError().isEmpty());
        QCOMPARE(readJsonFile(store).value(QStringLiteral("things")).toArray().size(), 2);
    }

    void storeAtStart_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("mention"); // in the reason it is refused for; empty: it is no store yet
        QTest::addColumn<QString>("kind");    // what stands at the store's path when it is no file
        QTest::newRow("no file") << false << QByteArray() << QString() << QString();
        QTest::newRow("not JSON") << true << QByteArray("{\"things\": [ {\"id\": ") << QStringLiteral("not JSON")
                                  << QString();
        QTest::newRow("an array") << true << QByteArray("[]") << QStringLiteral("JSON array") << QString();
        QTest::newRow("empty file") << true << QByteArray() << QStringLiteral("empty") << QString();
        QTest::newRow("blank file") << true << QByteArray("\n") << QStringLiteral("empty") << QString();
        QTest::newRow("things not an array")
            << true << QByteArray("{\"things\": {}}") << QStringLiteral("\"things\"") << QString();
        // Read, these blocked the start in open() or grew the host without end.
        QTest::newRow("a FIFO") << true << QByteArray() << QStringLiteral("a FIFO, not a regular file")
                                << QStringLiteral("fifo");
        QTest::newRow("a device") << true << QByteArray() << QStringLiteral("a character device")
                                  << QStringLiteral("/dev/zero");
        QTest::newRow("over 16 MiB") << true << QByteArray() << QStringLiteral("larger than 16 MiB")
                                     << QStringLiteral("big");
    }

    // A store that is not there is an empty one; one that cannot be read fails and keeps nothing.
    void storeAtStart()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, content);
        QFETCH(QString, mention);
        QFETCH(QString, kind);
        FRESH_STORE();
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(store).constData(), 0600), 0);
        else if (kind.startsWith(QLatin1Char('/')))
            QVERIFY(QFile::link(kind, store));
        else if (kind == QLatin1String("big"))
            QVERIFY(writeFile(store, "{}") && QFile::resize(store, ThingManager::maxStoreBytes + 1));
        else if (exists)
            QVERIFY(writeFile(store, content));

        auto manager = hostWithPlugin(store);
        QVERIFY(manager);
        QSignalSpy added(manager.get(), &ThingManager::thingAdded);
        QString error;
        QCOMPARE(manager->restoreThings(&error), mention.isEmpty());
        QVERIFY2(mention.isEmpty() ? error.isEmpty() : error.contains(store) && error.contains(mention),
                 qPrintable(error));
        QVERIFY(manager->things().isEmpty());
        QCOMPARE(added.count(), 0);
        // The file is left as it was, for a person to look at, and none is made up.
        QCOMPARE(QFile::exists(store), exists);
        if (exists && kind.isEmpty()) {
            QFile file(store);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), content);
        }
    }
};

QTEST_GUILESS_MAIN(TestLibVeyraManager)

#include "tst_libveyra_manager.moc"

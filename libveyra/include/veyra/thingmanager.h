// The host side: loads integration plugins, keeps their things, drives setup and removal,
// and optionally keeps the things in a JSON store across runs.
#pragma once

#include "global.h"
#include "integrationplugin.h"
#include "thing.h"
#include "thingclass.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QVector>

#include <memory>

class QLockFile;
class QTimer;
class QPluginLoader;

struct LIBVEYRA_EXPORT LoadedPlugin {
    QString fileName;
    QString apiVersion; // from libveyra_api_version(), empty when the plugin has none
    PluginMetadata metadata;
    QPointer<IntegrationPlugin> plugin;
};

class LIBVEYRA_EXPORT ThingManager : public QObject
{
    Q_OBJECT
public:
    explicit ThingManager(QObject *parent = nullptr);
    // Deletes the plugin objects without removing any thing, as a host does at shutdown.
    ~ThingManager() override;

    HardwareManager *hardwareManager() const { return m_hardwareManager; }

    // Loads one plugin file: checks the interface identifier, reads the descriptor, obtains
    // the plugin object and calls init(). Returns false with a readable reason on failure.
    bool loadPlugin(const QString &fileName, QString *error);
    // Loads every plugin file of a folder; returns how many loaded. Reasons for the ones that
    // did not load are appended to `errors`.
    int loadPlugins(const QString &directory, QStringList *errors);
    const QVector<LoadedPlugin> &plugins() const { return m_plugins; }

    const ThingClass *findThingClass(const ThingClassId &id) const;
    const ThingClass *findThingClass(const QString &name) const;

    Things things() const { return m_things; }
    Thing *findThing(const ThingId &id) const;

    // Creates a thing and sets it up. `params` are completed with the class's defaults.
    // Returns null (with a reason) when the class is unknown, and null when the thing was removed
    // and deleted before its setup returned.
    Thing *addThing(const ThingClassId &thingClassId, const QString &name, const ParamList &params,
                    const ThingId &parentId = ThingId(), QString *error = nullptr);
    // Gives a thing new params and sets it up again, as after the user edited them. A restored
    // thing that waits for its first setup only takes the params and keeps waiting.
    bool reconfigureThing(const ThingId &id, const ParamList &params);
    // Removes a thing, its children first. Returns false when there is no such thing.
    bool removeThing(const ThingId &id);

    // With a store set, every added or removed thing is written to it at once.
    void setStorePath(const QString &path) { m_storePath = path; }
    QString storePath() const { return m_storePath; }
    // Cached states that changed are written at most this often (default 300 s, which spares a
    // gateway's flash), so that an unclean stop loses no more than that; 0 writes them only with
    // a change of things or an explicit save.
    void setStoreInterval(qint64 ms);
    qint64 storeInterval() const { return m_storeIntervalMs; }
    // Makes the store this process's own: checks that it is a regular file (or none yet) that can
    // be written, takes a lock file beside it ("<store>.lock", beside the file a symlink leads to,
    // so that every path to one store takes the same lock) and locks the file itself, which a hard
    // link to it meets too; a second host on the same store is refused. Returns false with a
    // reason. The locks go with the manager or with releaseStore().
    bool claimStore(QString *error);
    void releaseStore();
    // Reads the store and creates its things without setting them up. Returns false with a
    // reason naming the file when it exists but is no thing store (not a regular file, larger
    // than maxStoreBytes, not a store's JSON); a missing file is an empty store. Stored things
    // that cannot be restored and keys this host does not know are kept and written back with
    // every save.
    bool loadStore(QString *error);
    static constexpr int maxStoreBytes = 16 << 20;
    // Sets up the things loadStore() created, parents first.
    void setupStoredThings();
    // loadStore() and setupStoredThings() in one.
    bool restoreThings(QString *error);
    // Writes the store now; it is also written after every added, changed or removed thing. The
    // values of cached states go with it. A failed save leaves the previous file whole, warns, and
    // is remembered until a save succeeds.
    bool saveStore();
    // Why the last save failed; empty when it succeeded or none was tried.
    QString lastSaveError() const { return m_lastSaveError; }
    // True when cached states changed since the last save, or the last save failed.
    bool storeOutdated() const { return m_statesChanged || !m_lastSaveError.isEmpty(); }

signals:
    void thingAdded(Thing *thing);
    void thingSetupFinished(Thing *thing, Thing::ThingError error, const QString &message);
    void thingStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value);
    // Every value a plugin set, changed or not.
    void thingStateSet(Thing *thing, const StateTypeId &stateTypeId);
    // Emitted after the plugin was told; the object is deleted right after.
    void thingRemoved(Thing *thing);

private:
    Thing *createThing(const ThingClass &thingClass, const ThingId &id, const QString &name, const ParamList &params,
                       const ThingId &parentId, const QJsonObject &storedStates = QJsonObject());
    QString storeFile() const;
    void setupThing(Thing *thing);
    void onAutoThingsAppeared(IntegrationPlugin *plugin, const ThingDescriptors &descriptors);
    IntegrationPlugin *pluginFor(const ThingClass &thingClass) const;
    Things thingsOfPlugin(const IntegrationPlugin *plugin) const;
    QString storeContentError(const QByteArray &content, QJsonObject *document) const;
    void scheduleStateSave();
    bool lockStoreFile(QString *error);
    bool readStoreFile(QByteArray *content, QString *error) const;

    HardwareManager *m_hardwareManager;
    QVector<LoadedPlugin> m_plugins;
    QList<QPluginLoader *> m_loaders;
    QHash<ThingClassId, ThingClass> m_thingClasses;
    Things m_things;
    QString m_storePath;
    std::unique_ptr<QLockFile> m_storeLock;
    QList<ThingId> m_storedThings;            // created by loadStore(), set up by setupStoredThings()
    QJsonArray m_keptThings;                  // stored things no loaded plugin can restore
    QJsonObject m_keptKeys;                   // top-level keys of the store other than "things"
    QHash<ThingId, QJsonObject> m_keptStates; // stored states of a thing that its class does not know
    QString m_lastSaveError;
    bool m_statesChanged = false;
    qint64 m_storeIntervalMs = 300000;
    QTimer *m_stateSaveTimer;
    int m_claimedFileLock = -1; // on the store file as claimed
    int m_savedFileLock = -1;   // on the file the last save wrote
};

#include "veyra/thingmanager.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLibrary>
#include <QLockFile>
#include <QPluginLoader>
#include <QSaveFile>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Why a store path that exists is no store file; empty for a regular file. A FIFO would hold the
// start in open() and a device never ends.
QString notAFile(const struct stat &status)
{
    if (S_ISREG(status.st_mode))
        return QString();
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("it is a folder");
    const QString kind = S_ISFIFO(status.st_mode)   ? QStringLiteral("a FIFO")
                         : S_ISCHR(status.st_mode)  ? QStringLiteral("a character device")
                         : S_ISBLK(status.st_mode)  ? QStringLiteral("a block device")
                         : S_ISSOCK(status.st_mode) ? QStringLiteral("a socket")
                                                    : QStringLiteral("something else");
    return QStringLiteral("it is %1, not a regular file").arg(kind);
}

// A lock on the file itself, which every name of it (a hard link too) meets; -1 when another
// holds it. Taken on a descriptor of its own, so that closing others leaves it alone.
int lockFileItself(int fd)
{
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own >= 0 && ::flock(own, LOCK_EX | LOCK_NB) != 0) {
        ::close(own);
        return -1;
    }
    return own;
}

void closeLock(int *fd)
{
    if (*fd >= 0)
        ::close(*fd);
    *fd = -1;
}
} // namespace

ThingManager::ThingManager(QObject *parent)
    : QObject(parent), m_hardwareManager(new HardwareManager(this)), m_stateSaveTimer(new QTimer(this))
{
    m_stateSaveTimer->setSingleShot(true);
    connect(m_stateSaveTimer, &QTimer::timeout, this, [this] {
        if (storeOutdated())
            saveStore();
        // A failed save is tried again one interval later.
        if (!m_lastSaveError.isEmpty())
            scheduleStateSave();
    });
}

ThingManager::~ThingManager()
{
    for (const LoadedPlugin &loaded : qAsConst(m_plugins))
        delete loaded.plugin.data();
    qDeleteAll(m_loaders);
    releaseStore();
}

bool ThingManager::loadPlugin(const QString &fileName, QString *error)
{
    auto loader = std::make_unique<QPluginLoader>(fileName);
    const QJsonObject metaData = loader->metaData();
    if (metaData.isEmpty()) {
        *error = QStringLiteral("%1: not a plugin (%2)").arg(fileName, loader->errorString());
        return false;
    }
    const QString iid = metaData.value(QStringLiteral("IID")).toString();
    if (iid != QLatin1String(VEYRA_INTEGRATION_PLUGIN_IID)) {
        *error = QStringLiteral("%1: interface \"%2\" is not \"%3\"")
                     .arg(fileName, iid, QStringLiteral(VEYRA_INTEGRATION_PLUGIN_IID));
        return false;
    }
    LoadedPlugin loaded;
    loaded.fileName = fileName;
    QString descriptorError;
    if (!loaded.metadata.load(metaData.value(QStringLiteral("MetaData")).toObject(), &descriptorError)) {
        *error = QStringLiteral("%1: bad descriptor: %2").arg(fileName, descriptorError);
        return false;
    }
    for (const ThingClass &thingClass : qAsConst(loaded.metadata.thingClasses)) {
        if (m_thingClasses.contains(thingClass.id())) {
            *error = QStringLiteral("%1: thing class %2 is already known").arg(fileName, thingClass.id().toText());
            return false;
        }
    }

    QObject *instance = loader->instance();
    auto *plugin = qobject_cast<IntegrationPlugin *>(instance);
    if (!plugin) {
        *error = QStringLiteral("%1: no integration plugin object (%2)").arg(fileName, loader->errorString());
        return false;
    }

    QLibrary library(fileName);
    using ApiVersionFunction = QString (*)();
    if (auto apiVersion = reinterpret_cast<ApiVersionFunction>(library.resolve("libveyra_api_version")))
        loaded.apiVersion = apiVersion();

    loaded.plugin = plugin;
    for (const ThingClass &thingClass : qAsConst(loaded.metadata.thingClasses))
        m_thingClasses.insert(thingClass.id(), thingClass);
    plugin->setHostContext(m_hardwareManager, [this, plugin] { return thingsOfPlugin(plugin); });
    connect(plugin, &IntegrationPlugin::autoThingsAppeared, this,
            [this, plugin](const ThingDescriptors &descriptors) { onAutoThingsAppeared(plugin, descriptors); });
    m_plugins.append(loaded);
    m_loaders.append(loader.release());
    plugin->init();
    return true;
}

int ThingManager::loadPlugins(const QString &directory, QStringList *errors)
{
    const QDir dir(directory);
    if (!dir.exists()) {
        errors->append(QStringLiteral("%1: no such folder").arg(directory));
        return 0;
    }
    int count = 0;
    const int errorsBefore = errors->size();
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    for (const QString &file : files) {
        if (!QLibrary::isLibrary(file))
            continue;
        QString error;
        if (loadPlugin(dir.absoluteFilePath(file), &error))
            ++count;
        else
            errors->append(error);
    }
    // A folder without any library would otherwise fail without a word.
    if (count == 0 && errors->size() == errorsBefore)
        errors->append(QStringLiteral("%1: no plugin file in this folder").arg(directory));
    return count;
}

const ThingClass *ThingManager::findThingClass(const ThingClassId &id) const
{
    auto it = m_thingClasses.constFind(id);
    return it == m_thingClasses.constEnd() ? nullptr : &it.value();
}

const ThingClass *ThingManager::findThingClass(const QString &name) const
{
    for (auto it = m_thingClasses.constBegin(); it != m_thingClasses.constEnd(); ++it) {
        if (it.value().name() == name)
            return &it.value();
    }
    return nullptr;
}

Thing *ThingManager::findThing(const ThingId &id) const
{
    for (Thing *thing : m_things) {
        if (thing->id() == id)
            return thing;
    }
    return nullptr;
}

Thing *ThingManager::addThing(const ThingClassId &thingClassId, const QString &name, const ParamList &params,
                              const ThingId &parentId, QString *error)
{
    const ThingClass *thingClass = findThingClass(thingClassId);
    if (!thingClass) {
        if (error)
            *error = QStringLiteral("unknown thing class %1").arg(thingClassId.toText());
        return nullptr;
    }
    QPointer<Thing> thing = createThing(*thingClass, ThingId::createId(), name, params, parentId);
    saveStore();
    setupThing(thing);
    // A plugin that waits in its setup runs the event loop, in which the thing may have been
    // removed and deleted: the caller must not get a pointer to freed memory.
    return thing;
}

Thing *ThingManager::createThing(const ThingClass &thingClass, const ThingId &id, const QString &name,
                                 const ParamList &params, const ThingId &parentId, const QJsonObject &storedStates)
{
    // The plugin gets every param of the class in its declared type, whatever the caller or a
    // hand-edited store passed.
    ParamList completed;
    for (const ParamType &paramType : thingClass.paramTypes()) {
        const QVariant given = params.hasParam(paramType.id) ? params.paramValue(paramType.id) : paramType.defaultValue;
        QVariant value = given;
        if (!value.convert(paramType.type)) {
            qWarning() << "Param" << paramType.name << "of" << name << "refuses" << given << "- using its default";
            value = paramType.defaultValue;
        }
        completed.append(Param(paramType.id, value));
    }
    auto *thing = new Thing(thingClass, id, this);
    thing->setName(name.isEmpty() ? thingClass.displayName() : name);
    thing->setParams(completed);
    thing->setParentId(parentId);
    // The last values of cached states are there before the plugin sets the thing up; what the
    // class does not know (a newer or older plugin's) goes back into the store as it came.
    QJsonObject unknownStates;
    for (auto it = storedStates.constBegin(); it != storedStates.constEnd(); ++it) {
        const StateTypeId stateTypeId(it.key());
        const int index = thingClass.stateIndex(stateTypeId);
        if (index < 0)
            unknownStates.insert(it.key(), it.value());
        else if (thingClass.stateTypes().at(index).cached)
            thing->setStateValue(stateTypeId, it.value().toVariant());
    }
    if (!unknownStates.isEmpty())
        m_keptStates.insert(id, unknownStates);
    connect(thing, &Thing::stateValueChanged, this,
            [this, thing](const StateTypeId &stateTypeId, const QVariant &value) {
                const int index = thing->thingClass().stateIndex(stateTypeId);
                if (index >= 0 && thing->thingClass().stateTypes().at(index).cached) {
                    m_statesChanged = true;
                    scheduleStateSave();
                }
                emit thingStateChanged(thing, stateTypeId, value);
            });
    connect(thing, &Thing::stateValueSet, this,
            [this, thing](const StateTypeId &stateTypeId) { emit thingStateSet(thing, stateTypeId); });
    m_things.append(thing);
    emit thingAdded(thing);
    return thing;
}

void ThingManager::setupThing(Thing *thing)
{
    IntegrationPlugin *plugin = pluginFor(thing->thingClass());
    if (!plugin) {
        thing->setSetupStatus(Thing::SetupStatusFailed);
        emit thingSetupFinished(thing, Thing::ThingErrorPluginNotFound, QStringLiteral("No plugin for this thing."));
        return;
    }
    thing->setSetupStatus(Thing::SetupStatusInProgress);
    auto *info = new ThingSetupInfo(thing, this);
    QPointer<Thing> guard(thing);
    QPointer<IntegrationPlugin> pluginGuard(plugin);
    connect(info, &HostRequest::finished, this, [this, info, guard, pluginGuard] {
        info->deleteLater();
        // The thing may have been removed while the plugin was still setting it up.
        if (!guard || !m_things.contains(guard.data()))
            return;
        const bool ok = info->status() == Thing::ThingErrorNoError;
        guard->setSetupStatus(ok ? Thing::SetupStatusComplete : Thing::SetupStatusFailed);
        emit thingSetupFinished(guard, info->status(), info->displayMessage());
        if (ok && pluginGuard)
            pluginGuard->postSetupThing(guard);
    });
    plugin->setupThing(info);
}

bool ThingManager::reconfigureThing(const ThingId &id, const ParamList &params)
{
    Thing *thing = findThing(id);
    if (!thing)
        return false;
    ParamList merged = thing->params();
    for (const Param &param : params)
        merged.setParamValue(param.paramTypeId(), param.value());
    thing->setParams(merged);
    saveStore();
    if (!m_storedThings.contains(id))
        setupThing(thing);
    return true;
}

bool ThingManager::removeThing(const ThingId &id)
{
    Thing *thing = findThing(id);
    if (!thing)
        return false;
    const Things children = m_things;
    for (Thing *child : children) {
        if (child->parentId() == id && m_things.contains(child))
            removeThing(child->id());
    }
    m_things.removeOne(thing);
    m_keptStates.remove(id);
    if (IntegrationPlugin *plugin = pluginFor(thing->thingClass()))
        plugin->thingRemoved(thing);
    emit thingRemoved(thing);
    saveStore();
    // Deferred: the plugin may still hold the pointer on a stack frame of a nested wait.
    thing->disconnect(this);
    thing->deleteLater();
    return true;
}

void ThingManager::onAutoThingsAppeared(IntegrationPlugin *plugin, const ThingDescriptors &descriptors)
{
    for (const ThingDescriptor &descriptor : descriptors) {
        const ThingClass *thingClass = findThingClass(descriptor.thingClassId());
        if (!thingClass || pluginFor(*thingClass) != plugin) {
            qWarning() << "Ignoring an auto thing of unknown class" << descriptor.thingClassId().toText();
            continue;
        }
        Thing *thing = createThing(*thingClass, ThingId::createId(), descriptor.title(), descriptor.params(),
                                   descriptor.parentId());
        saveStore();
        setupThing(thing);
    }
}

IntegrationPlugin *ThingManager::pluginFor(const ThingClass &thingClass) const
{
    for (const LoadedPlugin &loaded : m_plugins) {
        if (loaded.metadata.id == thingClass.pluginId())
            return loaded.plugin;
    }
    return nullptr;
}

Things ThingManager::thingsOfPlugin(const IntegrationPlugin *plugin) const
{
    Things things;
    for (Thing *thing : m_things) {
        if (pluginFor(thing->thingClass()) == plugin)
            things.append(thing);
    }
    return things;
}

QString ThingManager::storeFile() const
{
    // Every path to one store (a symlink, another relative path) must end at the same file, and
    // so at the same lock.
    QFileInfo info(m_storePath);
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info.setFile(info.symLinkTarget());
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}

void ThingManager::setStoreInterval(qint64 ms)
{
    m_storeIntervalMs = std::max<qint64>(0, ms);
    m_stateSaveTimer->stop();
    if (storeOutdated())
        scheduleStateSave();
}

// Counted from the first change after a save, so that a state that changes every second is still
// written only once per interval.
void ThingManager::scheduleStateSave()
{
    if (m_storePath.isEmpty() || m_storeIntervalMs <= 0 || m_stateSaveTimer->isActive())
        return;
    // A QTimer counts in int milliseconds.
    m_stateSaveTimer->start(int(std::min<qint64>(m_storeIntervalMs, std::numeric_limits<int>::max())));
}

bool ThingManager::saveStore()
{
    if (m_storePath.isEmpty())
        return true;
    QJsonArray array;
    for (Thing *thing : m_things) {
        QJsonObject params;
        for (const Param &param : thing->params())
            params.insert(param.paramTypeId().toText(), QJsonValue::fromVariant(param.value()));
        QJsonObject states = m_keptStates.value(thing->id());
        for (const StateType &stateType : thing->thingClass().stateTypes()) {
            if (stateType.cached)
                states.insert(stateType.id.toText(), QJsonValue::fromVariant(thing->stateValue(stateType.id)));
        }
        QJsonObject object{
            {QStringLiteral("id"), thing->id().toText()},
            {QStringLiteral("thingClassId"), thing->thingClassId().toText()},
            {QStringLiteral("name"), thing->name()},
            {QStringLiteral("params"), params},
            {QStringLiteral("states"), states},
        };
        object.insert(QStringLiteral("parentId"),
                      thing->parentId().isNull() ? QJsonValue() : QJsonValue(thing->parentId().toText()));
        array.append(object);
    }
    // What this host cannot restore belongs to someone else: it goes back as it came.
    for (const QJsonValue &kept : qAsConst(m_keptThings))
        array.append(kept);
    QJsonObject document = m_keptKeys;
    document.insert(QStringLiteral("things"), array);
    const QByteArray content = QJsonDocument(document).toJson();

    // Nothing replaces the previous file unless every byte reached the new one: a write that only
    // filled the buffer fails at the flush, and a full disk must not leave an empty store behind.
    QSaveFile file(storeFile());
    QString reason;
    int savedLock = -1;
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.flush()) {
        reason = file.errorString();
        file.cancelWriting(); // after reading the reason: cancelling replaces it
    } else {
        // Locked before it takes the store's name, so that no second host finds it unlocked.
        if (m_storeLock)
            savedLock = lockFileItself(file.handle());
        if (!file.commit())
            reason = file.errorString();
    }
    if (reason.isNull()) {
        closeLock(&m_savedFileLock);
        m_savedFileLock = savedLock;
    } else {
        closeLock(&savedLock);
        m_lastSaveError =
            QStringLiteral("cannot write the thing store %1: %2 (the previous file is kept)").arg(m_storePath, reason);
        qWarning() << "Cannot write the thing store" << m_storePath << reason;
        return false;
    }
    m_lastSaveError.clear();
    m_statesChanged = false;
    return true;
}

bool ThingManager::claimStore(QString *error)
{
    if (m_storePath.isEmpty() || m_storeLock)
        return true;
    const QString path = storeFile();
    const QFileInfo store(path);
    const QFileInfo folder(store.absolutePath());
    if (!folder.isDir()) {
        *error = QStringLiteral("cannot keep the thing store %1: the folder %2 does not exist")
                     .arg(m_storePath, folder.filePath());
        return false;
    }
    struct stat status = {};
    const QString notFile = ::stat(QFile::encodeName(path).constData(), &status) == 0 ? notAFile(status) : QString();
    if (!notFile.isEmpty()) {
        *error = QStringLiteral("cannot keep the thing store %1: %2").arg(m_storePath, notFile);
        return false;
    }
    if (store.exists() && !store.isWritable()) {
        *error = QStringLiteral("cannot keep the thing store %1: the file is not writable").arg(m_storePath);
        return false;
    }
    auto lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
    // Only a lock whose process is gone is stale, however long its host has been running.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        m_storeLock = std::move(lock);
        if (lockStoreFile(error))
            return true;
        m_storeLock.reset();
        return false;
    }
    if (lock->error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString hostName;
        QString appName;
        lock->getLockInfo(&pid, &hostName, &appName);
        *error = QStringLiteral("the thing store %1 is in use by another host (%2, process %3); its lock is %4.lock")
                     .arg(m_storePath, appName.isEmpty() ? QStringLiteral("unknown program") : appName)
                     .arg(pid)
                     .arg(path);
    } else {
        *error = QStringLiteral("cannot keep the thing store %1: the folder %2 is not writable")
                     .arg(m_storePath, folder.filePath());
    }
    return false;
}

// The lock beside the file names the host that holds it; this one also meets a host that came by a
// hard link. A store not written yet has no file to lock: its first save locks it.
bool ThingManager::lockStoreFile(QString *error)
{
    const int fd = ::open(QFile::encodeName(storeFile()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true; // missing, or unreadable: loading says why
    struct stat status = {};
    if (fstat(fd, &status) == 0 && status.st_nlink > 1) {
        qWarning() << "The thing store" << m_storePath << "has" << status.st_nlink
                   << "names (hard links): a save replaces it under this name only, and the others keep the old "
                      "content";
    }
    m_claimedFileLock = lockFileItself(fd);
    ::close(fd);
    if (m_claimedFileLock >= 0)
        return true;
    *error = QStringLiteral("the thing store %1 is in use by another host, which reached the same file by another "
                            "name (a hard link)")
                 .arg(m_storePath);
    return false;
}

void ThingManager::releaseStore()
{
    closeLock(&m_claimedFileLock);
    closeLock(&m_savedFileLock);
    m_storeLock.reset();
}

QString ThingManager::storeContentError(const QByteArray &content, QJsonObject *document) const
{
    if (content.trimmed().isEmpty())
        return QStringLiteral("the file is empty (remove it to start with no things)");
    QJsonParseError parseError;
    const QJsonDocument parsed = QJsonDocument::fromJson(content, &parseError);
    if (parsed.isNull())
        return QStringLiteral("it is not JSON: %1 at byte %2").arg(parseError.errorString()).arg(parseError.offset);
    if (!parsed.isObject())
        return QStringLiteral("it holds a JSON array where an object with a \"things\" array belongs");
    *document = parsed.object();
    const QJsonValue things = document->value(QStringLiteral("things"));
    if (!things.isUndefined() && !things.isArray())
        return QStringLiteral("its \"things\" is not an array");
    return QString();
}

// Null content for a store that is not there yet.
bool ThingManager::readStoreFile(QByteArray *content, QString *error) const
{
    // Not blocking: a FIFO is refused below rather than waited on.
    const int fd = ::open(QFile::encodeName(storeFile()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    QFile file;
    struct stat status = {};
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle) || fstat(fd, &status) != 0) {
        *error =
            QStringLiteral("cannot read the thing store %1: %2").arg(m_storePath, fd < 0 ? reason : file.errorString());
        if (fd >= 0 && !file.isOpen())
            ::close(fd);
        return false;
    }
    const QString notFile = notAFile(status);
    if (!notFile.isEmpty()) {
        *error = QStringLiteral("cannot read the thing store %1: %2").arg(m_storePath, notFile);
        return false;
    }
    *content = file.read(maxStoreBytes + 1);
    if (content->size() > maxStoreBytes) {
        *error = QStringLiteral("%1 is not a thing store: it is larger than %2 MiB")
                     .arg(m_storePath)
                     .arg(maxStoreBytes >> 20);
        content->clear();
        return false;
    }
    if (content->isNull())
        *content = QByteArray(""); // there, but empty
    return true;
}

bool ThingManager::loadStore(QString *error)
{
    if (m_storePath.isEmpty())
        return true;
    QByteArray content;
    if (!readStoreFile(&content, error))
        return false;
    if (content.isNull())
        return true; // no file yet
    QJsonObject document;
    const QString problem = storeContentError(content, &document);
    if (!problem.isEmpty()) {
        *error = QStringLiteral("%1 is not a thing store: %2").arg(m_storePath, problem);
        return false;
    }
    m_keptKeys = document;
    m_keptKeys.remove(QStringLiteral("things"));

    // Parents first, so that a gateway is set up before the things below it.
    QList<QJsonObject> pending;
    const QJsonArray array = document.value(QStringLiteral("things")).toArray();
    for (const QJsonValue &value : array) {
        if (value.isObject())
            pending.append(value.toObject());
        else
            m_keptThings.append(value);
    }
    QList<QJsonObject> ordered;
    QSet<QString> placed;
    while (!pending.isEmpty()) {
        const int before = pending.size();
        for (auto it = pending.begin(); it != pending.end();) {
            const QString parent = it->value(QStringLiteral("parentId")).toString();
            if (parent.isEmpty() || placed.contains(parent)) {
                placed.insert(it->value(QStringLiteral("id")).toString());
                ordered.append(*it);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        if (pending.size() == before) { // orphans: their parent is gone, keep them all the same
            ordered.append(pending);
            pending.clear();
        }
    }

    for (const QJsonObject &object : qAsConst(ordered)) {
        const ThingId id(object.value(QStringLiteral("id")).toString());
        const ThingClass *thingClass = findThingClass(
            ThingClassId(object.value(QStringLiteral("thingClassId")).toString()));
        if (id.isNull() || !thingClass || findThing(id)) {
            qWarning() << "Skipping a stored thing that cannot be restored (kept in the store):"
                       << QJsonDocument(object).toJson(QJsonDocument::Compact);
            m_keptThings.append(object);
            continue;
        }
        ParamList params;
        const QJsonObject storedParams = object.value(QStringLiteral("params")).toObject();
        for (auto it = storedParams.constBegin(); it != storedParams.constEnd(); ++it)
            params.append(Param(ParamTypeId(it.key()), it.value().toVariant()));
        createThing(*thingClass, id, object.value(QStringLiteral("name")).toString(), params,
                    ThingId(object.value(QStringLiteral("parentId")).toString()),
                    object.value(QStringLiteral("states")).toObject());
        m_storedThings.append(id);
    }
    return true;
}

void ThingManager::setupStoredThings()
{
    while (!m_storedThings.isEmpty()) {
        // A setup before may have removed it.
        if (Thing *thing = findThing(m_storedThings.takeFirst()))
            setupThing(thing);
    }
}

bool ThingManager::restoreThings(QString *error)
{
    if (!loadStore(error))
        return false;
    setupStoredThings();
    return true;
}

// What the host library's tests share: the fake plugin (tests/fakeplugin) and its "box" class,
// and small helpers for params, setup results and store files.
#pragma once

#include <testrig.h>
#include <veyra/version.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPluginLoader>
#include <QSignalSpy>

// The fake plugin's folder holds nothing else.
inline QString pluginDir()
{
    return QStringLiteral(VEYRA_FAKE_PLUGIN_DIR);
}

inline QString pluginFile()
{
    return rig::pluginFile(pluginDir());
}

// The fake plugin's descriptor, as a host reads it from the file: class "box" has a param and
// a state of every supported type, class "part" goes below a box.
inline QJsonObject descriptor()
{
    const QJsonObject descriptor = QPluginLoader(pluginFile()).metaData().value(QStringLiteral("MetaData")).toObject();
    if (descriptor.isEmpty())
        qFatal("no descriptor in %s", qPrintable(pluginFile()));
    return descriptor;
}

inline ThingClass boxClass()
{
    PluginMetadata metadata;
    QString error;
    if (!metadata.load(descriptor(), &error) || metadata.thingClasses.isEmpty())
        qFatal("the test descriptor does not load: %s", qPrintable(error));
    return metadata.thingClasses.first();
}

inline QJsonObject readJsonFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A host with the fake plugin loaded, keeping its things in `store` if one is given.
inline std::unique_ptr<ThingManager> hostWithPlugin(const QString &store = QString())
{
    QString error;
    auto manager = rig::loadHost(pluginFile(), &error);
    if (!manager)
        qWarning("cannot load the plugin: %s", qPrintable(error));
    else if (!store.isEmpty())
        manager->setStorePath(store);
    return manager;
}

using rig::paramsByName;

struct SetupResult {
    Thing::ThingError error = Thing::ThingErrorSetupFailed;
    bool finished = false;
};

// The setup result the manager reported for `thing` (the last one when there are several).
inline SetupResult setupResultOf(const QSignalSpy &spy, Thing *thing)
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

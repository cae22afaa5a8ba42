// What the host library's tests share: the fake plugin (tests/fakeplugin) and its "box" class,
// and small helpers for params, setup results and store files.
#pragma once

#include <veyra/thingmanager.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPluginLoader>
#include <QSignalSpy>

#include <memory>

// The host API version that plugins are written against.
#define VEYRA_TEST_API_VERSION "7.4.0"

inline QString pluginFile()
{
    return QStringLiteral(VEYRA_FAKE_PLUGIN);
}

// The fake plugin's folder holds nothing else.
inline QString pluginDir()
{
    return QFileInfo(pluginFile()).absolutePath();
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

// A host with the fake plugin loaded.
inline std::unique_ptr<ThingManager> hostWithPlugin()
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
inline ParamList paramsByName(const ThingClass &thingClass, const QVariantMap &values)
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

// The thing-class model that the host reads from a plugin's descriptor.
#pragma once

#include "global.h"
#include "types.h"

#include <QHash>
#include <QJsonObject>
#include <QStringList>
#include <QVariant>
#include <QVector>

struct LIBVEYRA_EXPORT ParamType {
    ParamTypeId id;
    QString name;
    QString displayName;
    int type = QMetaType::UnknownType; // QMetaType id of the descriptor's "type"
    QVariant defaultValue;             // already converted to `type`
    bool readOnly = false;
};

struct LIBVEYRA_EXPORT StateType {
    StateTypeId id;
    QString name;
    QString displayName;
    int type = QMetaType::UnknownType;
    QVariant defaultValue;
    QString unit;
    bool cached = true;
};

class LIBVEYRA_EXPORT ThingClass
{
public:
    bool isValid() const { return !m_id.isNull(); }

    ThingClassId id() const { return m_id; }
    PluginId pluginId() const { return m_pluginId; }
    VendorId vendorId() const { return m_vendorId; }
    QString name() const { return m_name; }
    QString displayName() const { return m_displayName; }
    QStringList createMethods() const { return m_createMethods; }
    QStringList interfaces() const { return m_interfaces; }
    QStringList providedInterfaces() const { return m_providedInterfaces; }
    const QVector<ParamType> &paramTypes() const { return m_paramTypes; }
    const QVector<StateType> &stateTypes() const { return m_stateTypes; }

    // Index into paramTypes()/stateTypes(), or -1.
    int paramIndex(const ParamTypeId &id) const { return m_paramIndexById.value(id, -1); }
    int paramIndex(const QString &name) const { return m_paramIndexByName.value(name, -1); }
    int stateIndex(const StateTypeId &id) const { return m_stateIndexById.value(id, -1); }
    int stateIndex(const QString &name) const { return m_stateIndexByName.value(name, -1); }

    // Reads one entry of a vendor's "thingClasses". On error returns an invalid class and sets `error`.
    static ThingClass fromJson(const QJsonObject &object, const PluginId &pluginId, const VendorId &vendorId,
                               QString *error);

private:
    ThingClassId m_id;
    PluginId m_pluginId;
    VendorId m_vendorId;
    QString m_name;
    QString m_displayName;
    QStringList m_createMethods;
    QStringList m_interfaces;
    QStringList m_providedInterfaces;
    QVector<ParamType> m_paramTypes;
    QVector<StateType> m_stateTypes;
    QHash<ParamTypeId, int> m_paramIndexById;
    QHash<QString, int> m_paramIndexByName;
    QHash<StateTypeId, int> m_stateIndexById;
    QHash<QString, int> m_stateIndexByName;
};

// What the host knows of a plugin from its descriptor.
struct LIBVEYRA_EXPORT PluginMetadata {
    PluginId id;
    QString name;
    QString displayName;
    VendorId vendorId;
    QString vendorName;
    QString vendorDisplayName;
    QVector<ThingClass> thingClasses;

    // Reads the descriptor object (the "MetaData" of a plugin's metadata record).
    // On error returns false and sets `error` to a readable reason.
    bool load(const QJsonObject &descriptor, QString *error);
};

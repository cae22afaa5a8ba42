#include "veyra/thingclass.h"

#include <QJsonArray>
#include <QRegularExpression>

namespace {

bool readId(const QJsonObject &object, QUuid *id, const QString &what, QString *error)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    const QString text = object.value(QStringLiteral("id")).toString();
    if (!pattern.match(text).hasMatch()) {
        *error = QStringLiteral("%1 has no valid \"id\" (\"%2\")").arg(what, text);
        return false;
    }
    *id = QUuid(text);
    return true;
}

int typeFromName(const QString &name)
{
    if (name == QLatin1String("QString"))
        return QMetaType::QString;
    if (name == QLatin1String("bool"))
        return QMetaType::Bool;
    if (name == QLatin1String("double"))
        return QMetaType::Double;
    if (name == QLatin1String("int"))
        return QMetaType::Int;
    if (name == QLatin1String("uint"))
        return QMetaType::UInt;
    return QMetaType::UnknownType;
}

bool readValueType(const QJsonObject &object, const QString &what, int *type, QVariant *defaultValue, QString *error)
{
    const QString typeName = object.value(QStringLiteral("type")).toString();
    *type = typeFromName(typeName);
    if (*type == QMetaType::UnknownType) {
        *error = QStringLiteral("%1 has an unknown \"type\" (\"%2\")").arg(what, typeName);
        return false;
    }
    QVariant value = object.value(QStringLiteral("defaultValue")).toVariant();
    if (!value.isValid()) {
        value = QVariant(*type, nullptr);
    } else if (!value.convert(*type)) {
        *error = QStringLiteral("%1 has a \"defaultValue\" that is no %2").arg(what, typeName);
        return false;
    }
    *defaultValue = value;
    return true;
}

QStringList stringList(const QJsonObject &object, const QString &key)
{
    QStringList list;
    const QJsonArray array = object.value(key).toArray();
    for (const QJsonValue &value : array)
        list.append(value.toString());
    return list;
}

// Reads a "paramTypes" or "stateTypes" array: the parts both share, then `readExtra` for the rest.
template<typename T, typename IdType = decltype(T::id), typename Extra>
bool readTypes(const QJsonArray &array, const QString &kind, const QString &what, QString *error, QVector<T> *types,
               QHash<IdType, int> *indexById, QHash<QString, int> *indexByName, Extra readExtra)
{
    for (const QJsonValue &value : array) {
        const QJsonObject json = value.toObject();
        T type;
        type.name = json.value(QStringLiteral("name")).toString();
        if (type.name.isEmpty()) {
            *error = QStringLiteral("a %1 of %2 has no \"name\"").arg(kind, what);
            return false;
        }
        const QString typeWhat = QStringLiteral("%1 \"%2\" of %3").arg(kind, type.name, what);
        QUuid id;
        if (!readId(json, &id, typeWhat, error)
            || !readValueType(json, typeWhat, &type.type, &type.defaultValue, error))
            return false;
        type.id = IdType(id);
        type.displayName = json.value(QStringLiteral("displayName")).toString();
        readExtra(json, &type);
        indexById->insert(type.id, types->size());
        indexByName->insert(type.name, types->size());
        types->append(type);
    }
    return true;
}

} // namespace

ThingClass ThingClass::fromJson(const QJsonObject &object, const PluginId &pluginId, const VendorId &vendorId,
                                QString *error)
{
    ThingClass thingClass;
    const QString name = object.value(QStringLiteral("name")).toString();
    const QString what = QStringLiteral("thing class \"%1\"").arg(name);
    QUuid id;
    if (name.isEmpty()) {
        *error = QStringLiteral("a thing class has no \"name\"");
        return ThingClass();
    }
    if (!readId(object, &id, what, error))
        return ThingClass();

    thingClass.m_pluginId = pluginId;
    thingClass.m_vendorId = vendorId;
    thingClass.m_name = name;
    thingClass.m_displayName = object.value(QStringLiteral("displayName")).toString();
    thingClass.m_createMethods = stringList(object, QStringLiteral("createMethods"));
    thingClass.m_interfaces = stringList(object, QStringLiteral("interfaces"));
    thingClass.m_providedInterfaces = stringList(object, QStringLiteral("providedInterfaces"));

    const bool paramsRead = readTypes<ParamType>(
        object.value(QStringLiteral("paramTypes")).toArray(), QStringLiteral("param"), what, error,
        &thingClass.m_paramTypes, &thingClass.m_paramIndexById, &thingClass.m_paramIndexByName,
        [](const QJsonObject &json, ParamType *paramType) {
            paramType->readOnly = json.value(QStringLiteral("readOnly")).toBool(false);
        });
    const bool statesRead = paramsRead
                            && readTypes<StateType>(
                                object.value(QStringLiteral("stateTypes")).toArray(), QStringLiteral("state"), what,
                                error, &thingClass.m_stateTypes, &thingClass.m_stateIndexById,
                                &thingClass.m_stateIndexByName, [](const QJsonObject &json, StateType *stateType) {
                                    stateType->unit = json.value(QStringLiteral("unit")).toString();
                                    stateType->cached = json.value(QStringLiteral("cached")).toBool(true);
                                });
    if (!statesRead)
        return ThingClass();

    thingClass.m_id = ThingClassId(id);
    return thingClass;
}

bool PluginMetadata::load(const QJsonObject &descriptor, QString *error)
{
    name = descriptor.value(QStringLiteral("name")).toString();
    displayName = descriptor.value(QStringLiteral("displayName")).toString();
    if (name.isEmpty()) {
        *error = QStringLiteral("the descriptor has no plugin \"name\"");
        return false;
    }
    if (!readId(descriptor, &id, QStringLiteral("plugin \"%1\"").arg(name), error))
        return false;

    const QJsonArray vendors = descriptor.value(QStringLiteral("vendors")).toArray();
    if (vendors.isEmpty()) {
        *error = QStringLiteral("plugin \"%1\" lists no vendor").arg(name);
        return false;
    }
    thingClasses.clear();
    for (const QJsonValue &vendorValue : vendors) {
        const QJsonObject vendor = vendorValue.toObject();
        VendorId thisVendorId;
        const QString thisVendorName = vendor.value(QStringLiteral("name")).toString();
        if (!readId(vendor, &thisVendorId, QStringLiteral("vendor \"%1\"").arg(thisVendorName), error))
            return false;
        if (vendorId.isNull()) {
            vendorId = thisVendorId;
            vendorName = thisVendorName;
            vendorDisplayName = vendor.value(QStringLiteral("displayName")).toString();
        }
        const QJsonArray classes = vendor.value(QStringLiteral("thingClasses")).toArray();
        for (const QJsonValue &classValue : classes) {
            ThingClass thingClass = ThingClass::fromJson(classValue.toObject(), id, thisVendorId, error);
            if (!thingClass.isValid())
                return false;
            thingClasses.append(thingClass);
        }
    }
    return true;
}

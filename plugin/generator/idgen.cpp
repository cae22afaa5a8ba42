// veyra-idgen: turns a plugin descriptor into the identifier constants the plugin code uses.
//
//   veyra-idgen <descriptor.json> <plugininfo.h> <plugininfo.cpp>
//
// The constants are generated rather than written by hand so that they can never drift from the
// descriptor the host reads. Stored things refer to these UUIDs, so the descriptor is checked
// strictly here: a broken id must stop the build, not ship.

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSaveFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

namespace {

struct Constant {
    QString type; // PluginId, VendorId, ThingClassId, ParamTypeId or StateTypeId
    QString name;
    QString uuid;  // as written in the descriptor, without braces
    QString where; // position in the descriptor, for error messages
};

class Generator
{
public:
    explicit Generator(const QString &sourceName) : m_sourceName(sourceName) {}

    bool read(const QByteArray &json);
    const QVector<Constant> &constants() const { return m_constants; }
    const QStringList &errors() const { return m_errors; }

private:
    void readVendor(const QJsonObject &vendor, const QString &where);
    void readThingClass(const QJsonObject &thingClass, const QString &where);
    QString requireName(const QJsonObject &item, const QString &where);
    void add(const QString &type, const QString &name, const QJsonObject &item, const QString &where);
    QJsonArray optionalArray(const QJsonObject &item, const QString &key, const QString &where);
    void error(const QString &where, const QString &message);

    QString m_sourceName;
    QVector<Constant> m_constants;
    QHash<QString, int> m_byUuid;
    QHash<QString, int> m_byName;
    QStringList m_errors;
};

QString upperFirst(const QString &name)
{
    return name.left(1).toUpper() + name.mid(1);
}

// Empty when the item's name was unusable (already reported), so no constant is made from it.
QString constantName(const QString &name, const QString &suffix)
{
    return name.isEmpty() ? QString() : name + suffix;
}

QString describe(const QString &where, const QString &name)
{
    return name.isEmpty() ? where : where + QStringLiteral(" (\"") + name + QStringLiteral("\")");
}

void Generator::error(const QString &where, const QString &message)
{
    m_errors.append(m_sourceName + QStringLiteral(": ") + where + QStringLiteral(": ") + message);
}

bool Generator::read(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const QByteArray before = json.left(parseError.offset);
        const int line = before.count('\n') + 1;
        error(QStringLiteral("line %1").arg(line), QStringLiteral("not valid JSON: %1").arg(parseError.errorString()));
        return false;
    }
    if (!document.isObject()) {
        error(QStringLiteral("top level"), QStringLiteral("must be a JSON object"));
        return false;
    }

    const QJsonObject plugin = document.object();
    const QString where = QStringLiteral("plugin");
    // The plugin constant has a fixed name, but a nameless plugin is still a broken descriptor.
    requireName(plugin, where);
    add(QStringLiteral("PluginId"), QStringLiteral("pluginId"), plugin, where);

    if (!plugin.value(QLatin1String("vendors")).isArray()) {
        error(where, QStringLiteral("\"vendors\" must be an array"));
    } else {
        const QJsonArray vendors = plugin.value(QLatin1String("vendors")).toArray();
        if (vendors.isEmpty())
            error(where, QStringLiteral("\"vendors\" is empty"));
        for (int i = 0; i < vendors.size(); ++i) {
            const QString vendorWhere = QStringLiteral("vendors[%1]").arg(i);
            if (!vendors.at(i).isObject()) {
                error(vendorWhere, QStringLiteral("must be a JSON object"));
                continue;
            }
            readVendor(vendors.at(i).toObject(), vendorWhere);
        }
    }
    return m_errors.isEmpty();
}

void Generator::readVendor(const QJsonObject &vendor, const QString &where)
{
    const QString name = requireName(vendor, where);
    add(QStringLiteral("VendorId"), constantName(name, QStringLiteral("VendorId")), vendor, describe(where, name));

    const QJsonArray thingClasses = optionalArray(vendor, QStringLiteral("thingClasses"), describe(where, name));
    for (int i = 0; i < thingClasses.size(); ++i) {
        const QString classWhere = where + QStringLiteral(".thingClasses[%1]").arg(i);
        if (!thingClasses.at(i).isObject()) {
            error(classWhere, QStringLiteral("must be a JSON object"));
            continue;
        }
        readThingClass(thingClasses.at(i).toObject(), classWhere);
    }
}

void Generator::readThingClass(const QJsonObject &thingClass, const QString &where)
{
    const QString className = requireName(thingClass, where);
    const QString classWhere = describe(where, className);
    add(QStringLiteral("ThingClassId"), constantName(className, QStringLiteral("ThingClassId")), thingClass,
        classWhere);

    // Params before states: the constants keep the descriptor's order.
    struct Kind {
        const char *key;
        const char *type;
    };
    static const Kind kinds[] = {{"paramTypes", "ParamTypeId"}, {"stateTypes", "StateTypeId"}};
    for (const Kind &kind : kinds) {
        const QString key = QLatin1String(kind.key);
        const QJsonArray items = optionalArray(thingClass, key, classWhere);
        for (int i = 0; i < items.size(); ++i) {
            const QString itemWhere = where + QStringLiteral(".%1[%2]").arg(key).arg(i);
            if (!items.at(i).isObject()) {
                error(itemWhere, QStringLiteral("must be a JSON object"));
                continue;
            }
            const QJsonObject item = items.at(i).toObject();
            const QString itemName = requireName(item, itemWhere);
            const QString type = QLatin1String(kind.type);
            QString name;
            if (!className.isEmpty() && !itemName.isEmpty()) {
                name = type == QLatin1String("ParamTypeId")
                           ? QString(className + QStringLiteral("Thing") + upperFirst(itemName) + type)
                           : QString(className + upperFirst(itemName) + type);
            }
            add(type, name, item, describe(itemWhere, itemName));
        }
    }
}

QJsonArray Generator::optionalArray(const QJsonObject &item, const QString &key, const QString &where)
{
    const QJsonValue value = item.value(key);
    if (value.isUndefined())
        return {};
    if (!value.isArray()) {
        error(where, QStringLiteral("\"%1\" must be an array").arg(key));
        return {};
    }
    return value.toArray();
}

QString Generator::requireName(const QJsonObject &item, const QString &where)
{
    // Names end up inside C++ identifiers, so they must be identifiers themselves.
    static const QRegularExpression identifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    const QJsonValue value = item.value(QLatin1String("name"));
    if (value.isUndefined()) {
        error(where, QStringLiteral("\"name\" is missing"));
        return QString();
    }
    QString name = value.toString();
    if (!value.isString() || !identifier.match(name).hasMatch()) {
        error(where, QStringLiteral("\"name\" must be a non-empty identifier (letters, digits, '_')"));
        return QString();
    }
    return name;
}

void Generator::add(const QString &type, const QString &name, const QJsonObject &item, const QString &where)
{
    static const QRegularExpression uuidForm(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));

    const QJsonValue value = item.value(QLatin1String("id"));
    if (value.isUndefined()) {
        error(where, QStringLiteral("\"id\" is missing"));
        return;
    }
    const QString uuid = value.toString();
    if (!value.isString() || !uuidForm.match(uuid).hasMatch()) {
        error(where, QStringLiteral("\"id\" %1 is malformed: expected 36 characters 8-4-4-4-12 of "
                                    "lower-case hex digits, without braces")
                         .arg(value.isString() ? QLatin1Char('"') + uuid + QLatin1Char('"')
                                               : QStringLiteral("(not a string)")));
        return;
    }
    // An empty name means a name error was already reported for this item.
    if (name.isEmpty())
        return;

    if (m_byUuid.contains(uuid)) {
        const Constant &first = m_constants.at(m_byUuid.value(uuid));
        error(where, QStringLiteral("\"id\" %1 is already used by %2 (%3)").arg(uuid, first.where, first.name));
        return;
    }
    if (m_byName.contains(name)) {
        const Constant &first = m_constants.at(m_byName.value(name));
        error(where, QStringLiteral("constant %1 would be defined twice, first by %2").arg(name, first.where));
        return;
    }
    m_byUuid.insert(uuid, m_constants.size());
    m_byName.insert(name, m_constants.size());
    m_constants.append({type, name, uuid, where});
}

QString headerText(const QString &sourceName, const QVector<Constant> &constants)
{
    QString text;
    text += QStringLiteral("// Generated by veyra-idgen from %1. Do not edit: change the descriptor instead.\n")
                .arg(sourceName);
    text += QStringLiteral("#pragma once\n\n#include <veyra/types.h>\n\n");
    // The plugin is built with hidden visibility; a host resolves these by their plain names.
    text += QStringLiteral("#define PLUGININFO_EXPORT Q_DECL_EXPORT\n\n");
    for (const Constant &c : constants)
        text += QStringLiteral("extern PLUGININFO_EXPORT const %1 %2;\n").arg(c.type, c.name);
    return text;
}

QString sourceText(const QString &sourceName, const QString &headerName, const QVector<Constant> &constants)
{
    QString text;
    text += QStringLiteral("// Generated by veyra-idgen from %1. Do not edit: change the descriptor instead.\n")
                .arg(sourceName);
    text += QStringLiteral("#include \"%1\"\n\n").arg(headerName);
    for (const Constant &c : constants)
        text += QStringLiteral("const %1 %2 = %1(\"{%3}\");\n").arg(c.type, c.name, c.uuid);
    return text;
}

// Leaves an unchanged file untouched so that its dependents are not rebuilt.
bool writeIfChanged(const QString &path, const QByteArray &content, QString *message)
{
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == content)
        return true;
    existing.close();

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *message = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void printError(const QString &message)
{
    std::fprintf(stderr, "veyra-idgen: %s\n", qUtf8Printable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: veyra-idgen <descriptor.json> <plugininfo.h> <plugininfo.cpp>\n");
        return 2;
    }
    const QString descriptorPath = QString::fromLocal8Bit(argv[1]);
    const QString headerPath = QString::fromLocal8Bit(argv[2]);
    const QString sourcePath = QString::fromLocal8Bit(argv[3]);
    const QString sourceName = QFileInfo(descriptorPath).fileName();

    QFile descriptor(descriptorPath);
    if (!descriptor.open(QIODevice::ReadOnly)) {
        printError(QStringLiteral("cannot read %1: %2").arg(descriptorPath, descriptor.errorString()));
        return 1;
    }

    Generator generator(sourceName);
    if (!generator.read(descriptor.readAll())) {
        for (const QString &message : generator.errors())
            printError(message);
        printError(
            QStringLiteral("%1 error(s) in %2; nothing generated").arg(generator.errors().size()).arg(descriptorPath));
        return 1;
    }

    QString message;
    const QString headerName = QFileInfo(headerPath).fileName();
    if (!writeIfChanged(headerPath, headerText(sourceName, generator.constants()).toUtf8(), &message)
        || !writeIfChanged(sourcePath, sourceText(sourceName, headerName, generator.constants()).toUtf8(), &message)) {
        printError(message);
        return 1;
    }
    return 0;
}

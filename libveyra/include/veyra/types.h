// Identifier types of the thing model: UUID values that cannot be mixed up with one another.
#pragma once

#include <QDebug>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

namespace Veyra {

template<typename Tag>
class TypedId : public QUuid
{
public:
    TypedId() = default;
    explicit TypedId(const QUuid &uuid) : QUuid(uuid) {}
    explicit TypedId(const QString &text) : QUuid(text) {}
    explicit TypedId(const char *text) : QUuid(text) {}

    static TypedId createId() { return TypedId(QUuid::createUuid()); }
    // Text form without braces, as the descriptor writes it.
    QString toText() const { return toString(QUuid::WithoutBraces); }
};

template<typename Tag>
inline uint qHash(const TypedId<Tag> &id, uint seed = 0) noexcept
{
    return ::qHash(static_cast<const QUuid &>(id), seed);
}

} // namespace Veyra

using ThingClassId = Veyra::TypedId<struct ThingClassIdTag>;
using ParamTypeId = Veyra::TypedId<struct ParamTypeIdTag>;
using StateTypeId = Veyra::TypedId<struct StateTypeIdTag>;
using ThingId = Veyra::TypedId<struct ThingIdTag>;
using PluginId = QUuid;
using VendorId = QUuid;

Q_DECLARE_METATYPE(ThingClassId)
Q_DECLARE_METATYPE(ParamTypeId)
Q_DECLARE_METATYPE(StateTypeId)
Q_DECLARE_METATYPE(ThingId)

#pragma once

#include "global.h"
#include "param.h"
#include "types.h"

class LIBVEYRA_EXPORT ThingDescriptor
{
public:
    ThingDescriptor() = default;
    ThingDescriptor(const ThingClassId &thingClassId, const QString &title = QString(),
                    const QString &description = QString(), const ThingId &parentId = ThingId());

    bool isValid() const { return !m_thingClassId.isNull(); }

    ThingClassId thingClassId() const { return m_thingClassId; }
    QString title() const { return m_title; }
    void setTitle(const QString &title) { m_title = title; }
    QString description() const { return m_description; }
    void setDescription(const QString &description) { m_description = description; }
    ThingId parentId() const { return m_parentId; }
    void setParentId(const ThingId &parentId) { m_parentId = parentId; }
    ParamList params() const { return m_params; }
    void setParams(const ParamList &params) { m_params = params; }

private:
    ThingClassId m_thingClassId;
    QString m_title;
    QString m_description;
    ThingId m_parentId;
    ParamList m_params;
};

using ThingDescriptors = QList<ThingDescriptor>;

Q_DECLARE_METATYPE(ThingDescriptor)
Q_DECLARE_METATYPE(ThingDescriptors)

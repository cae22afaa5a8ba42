#include "veyra/thingdescriptor.h"

ThingDescriptor::ThingDescriptor(const ThingClassId &thingClassId, const QString &title, const QString &description,
                                 const ThingId &parentId)
    : m_thingClassId(thingClassId), m_title(title), m_description(description), m_parentId(parentId)
{
}

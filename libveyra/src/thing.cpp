#include "veyra/thing.h"

#include <QDebug>

Thing::Thing(const ThingClass &thingClass, const ThingId &id, QObject *parent)
    : QObject(parent), m_thingClass(thingClass), m_id(id)
{
    m_states.reserve(m_thingClass.stateTypes().size());
    for (const StateType &stateType : m_thingClass.stateTypes())
        m_states.append(stateType.defaultValue);
}

void Thing::setName(const QString &name)
{
    if (m_name == name)
        return;
    m_name = name;
    emit nameChanged();
}

QVariant Thing::paramValue(const ParamTypeId &paramTypeId) const
{
    return m_params.paramValue(paramTypeId);
}

QVariant Thing::paramValue(const QString &paramName) const
{
    const int index = m_thingClass.paramIndex(paramName);
    if (index < 0) {
        qWarning() << "Thing" << m_name << "has no param named" << paramName;
        return QVariant();
    }
    return m_params.paramValue(m_thingClass.paramTypes().at(index).id);
}

QVariant Thing::stateValue(const StateTypeId &stateTypeId) const
{
    const int index = m_thingClass.stateIndex(stateTypeId);
    return index < 0 ? QVariant() : m_states.at(index);
}

QVariant Thing::stateValue(const QString &stateName) const
{
    const int index = m_thingClass.stateIndex(stateName);
    return index < 0 ? QVariant() : m_states.at(index);
}

void Thing::setStateValue(const StateTypeId &stateTypeId, const QVariant &value)
{
    const int index = m_thingClass.stateIndex(stateTypeId);
    if (index < 0) {
        qWarning() << "Thing" << m_name << "has no state" << stateTypeId.toText();
        return;
    }
    setStateValueAt(index, value);
}

void Thing::setStateValue(const QString &stateName, const QVariant &value)
{
    const int index = m_thingClass.stateIndex(stateName);
    if (index < 0) {
        qWarning() << "Thing" << m_name << "has no state named" << stateName;
        return;
    }
    setStateValueAt(index, value);
}

void Thing::setStateValueAt(int index, const QVariant &value)
{
    const StateType &stateType = m_thingClass.stateTypes().at(index);
    QVariant converted = value;
    if (!converted.convert(stateType.type)) {
        qWarning() << "Thing" << m_name << "refuses" << value << "for state" << stateType.name;
        return;
    }
    if (m_states.at(index) != converted) {
        m_states[index] = converted;
        emit stateValueChanged(stateType.id, converted);
    }
    emit stateValueSet(stateType.id);
}

QDebug operator<<(QDebug debug, Thing *thing)
{
    QDebugStateSaver saver(debug);
    if (!thing)
        return debug << "Thing(nullptr)";
    debug.nospace() << "Thing(" << thing->name() << ", id: " << thing->id().toText()
                    << ", class: " << thing->thingClass().name() << ')';
    return debug;
}

#include "veyra/param.h"

Param::Param(const ParamTypeId &paramTypeId, const QVariant &value) : m_paramTypeId(paramTypeId), m_value(value) {}

bool Param::operator==(const Param &other) const
{
    return m_paramTypeId == other.m_paramTypeId && m_value == other.m_value;
}

bool ParamList::hasParam(const ParamTypeId &paramTypeId) const
{
    for (const Param &param : *this) {
        if (param.paramTypeId() == paramTypeId)
            return true;
    }
    return false;
}

QVariant ParamList::paramValue(const ParamTypeId &paramTypeId) const
{
    for (const Param &param : *this) {
        if (param.paramTypeId() == paramTypeId)
            return param.value();
    }
    return QVariant();
}

void ParamList::setParamValue(const ParamTypeId &paramTypeId, const QVariant &value)
{
    for (Param &param : *this) {
        if (param.paramTypeId() == paramTypeId) {
            param.setValue(value);
            return;
        }
    }
    append(Param(paramTypeId, value));
}

QDebug operator<<(QDebug debug, const Param &param)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "Param(" << param.paramTypeId().toText() << ": " << param.value() << ')';
    return debug;
}

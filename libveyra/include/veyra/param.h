#pragma once

#include "global.h"
#include "types.h"

#include <QVariant>

class LIBVEYRA_EXPORT Param
{
public:
    Param() = default;
    Param(const ParamTypeId &paramTypeId, const QVariant &value = QVariant());

    ParamTypeId paramTypeId() const { return m_paramTypeId; }
    QVariant value() const { return m_value; }
    void setValue(const QVariant &value) { m_value = value; }

    bool operator==(const Param &other) const;

private:
    ParamTypeId m_paramTypeId;
    QVariant m_value;
};

class LIBVEYRA_EXPORT ParamList : public QList<Param>
{
public:
    ParamList() = default;
    ParamList(std::initializer_list<Param> params) : QList<Param>(params) {}

    bool hasParam(const ParamTypeId &paramTypeId) const;
    // The value of the first param of that type; an invalid QVariant when there is none.
    QVariant paramValue(const ParamTypeId &paramTypeId) const;
    // Sets the value of an existing param, or appends one.
    void setParamValue(const ParamTypeId &paramTypeId, const QVariant &value);
};

LIBVEYRA_EXPORT QDebug operator<<(QDebug debug, const Param &param);

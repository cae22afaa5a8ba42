#pragma once

#include "global.h"
#include "param.h"
#include "thingclass.h"
#include "types.h"

#include <QObject>
#include <QVariant>
#include <QVector>

class LIBVEYRA_EXPORT Thing : public QObject
{
    Q_OBJECT
public:
    enum ThingError {
        ThingErrorNoError,
        ThingErrorPluginNotFound,
        ThingErrorVendorNotFound,
        ThingErrorThingNotFound,
        ThingErrorThingClassNotFound,
        ThingErrorActionTypeNotFound,
        ThingErrorStateTypeNotFound,
        ThingErrorEventTypeNotFound,
        ThingErrorThingDescriptorNotFound,
        ThingErrorMissingParameter,
        ThingErrorInvalidParameter,
        ThingErrorSetupFailed,
        ThingErrorDuplicateUuid,
        ThingErrorCreationMethodNotSupported,
        ThingErrorSetupMethodNotSupported,
        ThingErrorHardwareNotAvailable,
        ThingErrorHardwareFailure,
        ThingErrorAuthenticationFailure,
        ThingErrorThingInUse,
        ThingErrorThingInRule,
        ThingErrorThingIsChild,
        ThingErrorPairingTransactionIdNotFound,
        ThingErrorParameterNotWritable,
        ThingErrorItemNotFound,
        ThingErrorItemNotExecutable,
        ThingErrorUnsupportedFeature,
        ThingErrorTimeout,
    };
    Q_ENUM(ThingError)

    enum SetupStatus { SetupStatusNone, SetupStatusInProgress, SetupStatusComplete, SetupStatusFailed };
    Q_ENUM(SetupStatus)

    Thing(const ThingClass &thingClass, const ThingId &id, QObject *parent = nullptr);

    ThingId id() const { return m_id; }
    ThingClassId thingClassId() const { return m_thingClass.id(); }
    const ThingClass &thingClass() const { return m_thingClass; }

    QString name() const { return m_name; }
    void setName(const QString &name);

    ThingId parentId() const { return m_parentId; }
    void setParentId(const ThingId &parentId) { m_parentId = parentId; }

    ParamList params() const { return m_params; }
    void setParams(const ParamList &params) { m_params = params; }
    QVariant paramValue(const ParamTypeId &paramTypeId) const;
    QVariant paramValue(const QString &paramName) const;

    QVariant stateValue(const StateTypeId &stateTypeId) const;
    QVariant stateValue(const QString &stateName) const;
    // Unknown states are refused with a warning. Values are converted to the state's type;
    // stateValueChanged() is emitted only when the stored value changes; stateValueSet() for
    // every accepted value, so that a host can tell a fresh reading of the same value from none.
    void setStateValue(const StateTypeId &stateTypeId, const QVariant &value);
    void setStateValue(const QString &stateName, const QVariant &value);

    SetupStatus setupStatus() const { return m_setupStatus; }
    void setSetupStatus(SetupStatus status) { m_setupStatus = status; }

signals:
    void stateValueChanged(const StateTypeId &stateTypeId, const QVariant &value);
    void stateValueSet(const StateTypeId &stateTypeId);
    void nameChanged();

private:
    void setStateValueAt(int index, const QVariant &value);

    ThingClass m_thingClass;
    ThingId m_id;
    ThingId m_parentId;
    QString m_name;
    ParamList m_params;
    QVector<QVariant> m_states;
    SetupStatus m_setupStatus = SetupStatusNone;
};

using Things = QList<Thing *>;

LIBVEYRA_EXPORT QDebug operator<<(QDebug debug, Thing *thing);

// Requests the host hands to a plugin. Each ends with exactly one finish().
#pragma once

#include "global.h"
#include "thing.h"

#include <QObject>

class LIBVEYRA_EXPORT HostRequest : public QObject
{
    Q_OBJECT
public:
    explicit HostRequest(QObject *parent = nullptr);

    bool isFinished() const { return m_finished; }
    Thing::ThingError status() const { return m_status; }
    QString displayMessage() const { return m_displayMessage; }

    // The first call wins; later calls are ignored with a warning.
    void finish(Thing::ThingError status, const QString &displayMessage = QString());

signals:
    void finished();

private:
    bool m_finished = false;
    Thing::ThingError m_status = Thing::ThingErrorNoError;
    QString m_displayMessage;
};

class LIBVEYRA_EXPORT ThingSetupInfo : public HostRequest
{
    Q_OBJECT
public:
    explicit ThingSetupInfo(Thing *thing, QObject *parent = nullptr);
    Thing *thing() const { return m_thing; }

private:
    Thing *m_thing;
};

// Requests for features this host stand-in offers no plugin; they exist so that a plugin can
// override the matching operation, and the base implementation answers them as unsupported.
class LIBVEYRA_EXPORT ThingDiscoveryInfo : public HostRequest
{
    Q_OBJECT public : using HostRequest::HostRequest;
};
class LIBVEYRA_EXPORT ThingPairingInfo : public HostRequest
{
    Q_OBJECT public : using HostRequest::HostRequest;
};
class LIBVEYRA_EXPORT ThingActionInfo : public HostRequest
{
    Q_OBJECT public : using HostRequest::HostRequest;
};
class LIBVEYRA_EXPORT BrowseResult : public HostRequest
{
    Q_OBJECT public : using HostRequest::HostRequest;
};
class LIBVEYRA_EXPORT BrowserItemResult : public HostRequest
{
    Q_OBJECT public : using HostRequest::HostRequest;
};
class LIBVEYRA_EXPORT BrowserActionInfo : public HostRequest
{
    Q_OBJECT public : using HostRequest::HostRequest;
};
class LIBVEYRA_EXPORT BrowserItemActionInfo : public HostRequest
{
    Q_OBJECT public : using HostRequest::HostRequest;
};

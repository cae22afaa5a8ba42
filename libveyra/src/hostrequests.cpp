#include "veyra/hostrequests.h"

#include <QDebug>

HostRequest::HostRequest(QObject *parent) : QObject(parent) {}

void HostRequest::finish(Thing::ThingError status, const QString &displayMessage)
{
    if (m_finished) {
        qWarning() << "A request was finished twice; keeping the first result" << m_status;
        return;
    }
    m_finished = true;
    m_status = status;
    m_displayMessage = displayMessage;
    emit finished();
}

ThingSetupInfo::ThingSetupInfo(Thing *thing, QObject *parent) : HostRequest(parent), m_thing(thing) {}

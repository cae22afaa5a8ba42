#include "curlaccessmanager.h"

#include "curlmulti.h"
#include "curlreply.h"

CurlAccessManager::CurlAccessManager(QObject *parent) : QNetworkAccessManager(parent), m_multi(new CurlMulti(this)) {}

// The multi handle goes before the replies (the manager's children), which then only free
// their own handles.
CurlAccessManager::~CurlAccessManager()
{
    delete m_multi;
    m_multi = nullptr;
}

static bool carried(QNetworkAccessManager::Operation operation, const QNetworkRequest &request)
{
    return (operation == QNetworkAccessManager::GetOperation || operation == QNetworkAccessManager::HeadOperation)
           && request.url().scheme() == QLatin1String("http");
}

QNetworkReply *CurlAccessManager::send(Operation operation, const QNetworkRequest &request)
{
    if (carried(operation, request))
        return new CurlReply(m_multi, operation, request, this, this);
    return operation == HeadOperation ? head(request) : get(request);
}

// Reached through get() and head(), whose own connections report finished().
QNetworkReply *CurlAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                QIODevice *outgoingData)
{
    if (!carried(operation, request))
        return QNetworkAccessManager::createRequest(operation, request, outgoingData);
    return new CurlReply(m_multi, operation, request, nullptr, this);
}

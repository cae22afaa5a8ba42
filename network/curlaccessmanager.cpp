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

QNetworkReply *CurlAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                QIODevice *outgoingData)
{
    const bool carried = (operation == GetOperation || operation == HeadOperation)
                         && request.url().scheme() == QLatin1String("http");
    if (!carried)
        return QNetworkAccessManager::createRequest(operation, request, outgoingData);
    return new CurlReply(m_multi, operation, request, this);
}

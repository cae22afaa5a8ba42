// The bridge client's network access manager: its GET and HEAD requests over http are carried
// by libcurl in the thread and event loop that own the manager, so that every byte a bridge
// sends is read where the plugin can bound it and stop it. Other requests go Qt's own way.
#pragma once

#include <QNetworkAccessManager>

class CurlMulti;

class CurlAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit CurlAccessManager(QObject *parent = nullptr);
    ~CurlAccessManager() override;

    // get() or head(), without the four string-based connections that QNetworkAccessManager makes
    // for every reply it hands out: the costliest step of a request on a kept connection.
    // finished(QNetworkReply *) is emitted all the same, just before the reply's own finished().
    QNetworkReply *send(Operation operation, const QNetworkRequest &request);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *outgoingData) override;

private:
    CurlMulti *m_multi = nullptr;
};

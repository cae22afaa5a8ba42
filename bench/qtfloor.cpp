// qtfloor: the least that QNetworkAccessManager can do for one value call. Sequential GETs of one
// URL, each sent when the previous reply has finished, each body parsed as JSON. The plugin's
// figures are measured against this client's.
//
// Usage: qtfloor URL REQUESTS [WARMUP [IDLE_SECONDS]]
// Prints "requests <n> seconds <s> rate <r> cpu_seconds <c> maxrss_kb <k>" for the REQUESTS after
// the WARMUP ones; CPU time is user + sys of all threads, Qt's HTTP thread included. With
// IDLE_SECONDS it then idles that long before it prints, for bench/idle to count its wake-ups.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include "benchusage.h"

#include <sys/resource.h>

#include <cstdio>

namespace {

class Client : public QObject
{
public:
    Client(const QUrl &url, int warmup, int requests) : m_request(url), m_warmup(warmup), m_total(warmup + requests) {}

    void start() { send(); }

    int failures() const { return m_failures; }
    double sum() const { return m_sum; }
    qint64 elapsedNs() const { return m_elapsedNs; }
    double cpu() const { return m_cpuEnd - m_cpuStart; }

private:
    void send()
    {
        if (m_sent == m_warmup) {
            m_cpuStart = cpuSeconds();
            m_clock.start();
        }
        if (m_sent == m_total) {
            m_elapsedNs = m_clock.nsecsElapsed();
            m_cpuEnd = cpuSeconds();
            QCoreApplication::quit();
            return;
        }
        ++m_sent;
        QNetworkReply *reply = m_manager.get(m_request);
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
    }

    void onFinished(QNetworkReply *reply)
    {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            ++m_failures;
        } else {
            // The same work the plugin does with a value reply's body.
            const QJsonValue value =
                QJsonDocument::fromJson(reply->readAll()).array().at(0).toObject().value(QLatin1String("value"));
            if (value.isDouble())
                m_sum += value.toDouble();
            else
                ++m_failures;
        }
        send();
    }

    QNetworkAccessManager m_manager;
    QNetworkRequest m_request;
    QElapsedTimer m_clock;
    const int m_warmup;
    const int m_total;
    int m_sent = 0;
    int m_failures = 0;
    double m_sum = 0;
    qint64 m_elapsedNs = 0;
    double m_cpuStart = 0;
    double m_cpuEnd = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool ok = args.size() >= 3 && args.size() <= 5;
    const QUrl url = ok ? QUrl(args.at(1), QUrl::StrictMode) : QUrl();
    const int requests = ok ? args.at(2).toInt(&ok) : 0;
    const int warmup = ok && args.size() >= 4 ? args.at(3).toInt(&ok) : 0;
    const int idleSeconds = ok && args.size() == 5 ? args.at(4).toInt(&ok) : 0;
    if (!ok || !url.isValid() || requests < 1 || warmup < 0 || idleSeconds < 0) {
        std::fprintf(stderr, "Usage: qtfloor URL REQUESTS [WARMUP [IDLE_SECONDS]]\n");
        return 2;
    }

    Client client(url, warmup, requests);
    client.start();
    app.exec();
    if (idleSeconds > 0) {
        QTimer::singleShot(idleSeconds * 1000, &app, &QCoreApplication::quit);
        app.exec();
    }

    if (client.failures() > 0) {
        std::fprintf(stderr, "qtfloor: %d requests failed\n", client.failures());
        return 1;
    }
    const double seconds = double(client.elapsedNs()) / 1e9;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("requests %d seconds %.6f rate %.1f cpu_seconds %.6f maxrss_kb %ld\n", requests, seconds,
                requests / seconds, client.cpu(), usage.ru_maxrss);
    return 0;
}

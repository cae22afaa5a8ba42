// curlfloor: the least that libcurl, the plugin's HTTP client, can do for one value call. The
// same requests as qtfloor: sequential GETs of one URL on one kept connection, each body parsed
// as JSON, with curl's easy interface and no event loop.
//
// Usage: curlfloor URL REQUESTS [WARMUP]
// Prints "requests <n> seconds <s> rate <r> cpu_seconds <c> maxrss_kb <k>" for the REQUESTS after
// the WARMUP ones, as qtfloor does.
#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "benchusage.h"

#include <curl/curl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

namespace {

size_t collect(char *data, size_t size, size_t count, void *body)
{
    static_cast<QByteArray *>(body)->append(data, int(size * count));
    return size * count;
}

} // namespace

int main(int argc, char *argv[])
{
    const int requests = argc >= 3 ? std::atoi(argv[2]) : 0;
    const int warmup = argc >= 4 ? std::atoi(argv[3]) : 0;
    if (argc < 3 || argc > 4 || requests < 1 || warmup < 0) {
        std::fprintf(stderr, "Usage: curlfloor URL REQUESTS [WARMUP]\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *easy = curl_easy_init();
    QByteArray body;
    curl_easy_setopt(easy, CURLOPT_URL, argv[1]);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);

    int failures = 0;
    double sum = 0, cpuStart = 0;
    QElapsedTimer clock;
    for (int i = 0; i < warmup + requests; ++i) {
        if (i == warmup) {
            cpuStart = cpuSeconds();
            clock.start();
        }
        body.clear();
        long status = 0;
        if (curl_easy_perform(easy) != CURLE_OK || curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK
            || status != 200) {
            ++failures;
            continue;
        }
        // The same work the plugin does with a value reply's body.
        const QJsonValue value = QJsonDocument::fromJson(body).array().at(0).toObject().value(QLatin1String("value"));
        if (value.isDouble())
            sum += value.toDouble();
        else
            ++failures;
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuStart;
    curl_easy_cleanup(easy);
    if (failures > 0) {
        std::fprintf(stderr, "curlfloor: %d requests failed\n", failures);
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("requests %d seconds %.6f rate %.1f cpu_seconds %.6f maxrss_kb %ld sum %.0f\n", requests, seconds,
                requests / seconds, cpu, usage.ru_maxrss, sum);
    return 0;
}

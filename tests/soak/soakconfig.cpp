#include "soakconfig.h"

#include <qellmnintervals.h>

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace soak {

bool parseCommandLine(const QCoreApplication &app, Config *config)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the QelLmn plugin file in the host stand-in against the bridge simulator under a seeded\n"
                       "random schedule of faults and checks invariants all along. Exit status 0: no violation."));
    parser.addHelpOption();
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the schedule (default 1)."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Length of the run in seconds (default 110)."),
                                      QStringLiteral("SECONDS"), QStringLiteral("110"));
    const QCommandLineOption scale(QStringLiteral("time-scale"),
                                   QStringLiteral("QELLMN_TIME_SCALE for the plugin (default 0.0005)."),
                                   QStringLiteral("FACTOR"), QStringLiteral("0.0005"));
    const QCommandLineOption unit(
        QStringLiteral("timer-unit-ms"),
        QStringLiteral("Host timer unit (default: 1000 ms times the time scale, the product's ratio)."),
        QStringLiteral("MS"));
    const QCommandLineOption meters(QStringLiteral("meters"),
                                    QStringLiteral("Meters on the bus at the start (default 8)."), QStringLiteral("N"),
                                    QStringLiteral("8"));
    const QCommandLineOption pluginDir(QStringLiteral("plugin-dir"), QStringLiteral("Folder with the plugin file."),
                                       QStringLiteral("DIR"), QStringLiteral(VEYRA_PLUGIN_DIR));
    const QCommandLineOption printSchedule(QStringLiteral("print-schedule"),
                                           QStringLiteral("Print the schedule of the seed and exit."));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Print each event as it runs."));
    const QCommandLineOption pluginLog(QStringLiteral("plugin-log"),
                                       QStringLiteral("Print the plugin's log on stderr."));
    parser.addOptions({seed, duration, scale, unit, meters, pluginDir, printSchedule, verbose, pluginLog});
    parser.process(app);
    bool seedOk = false, durationOk = false, scaleOk = false, unitOk = true, metersOk = false;
    config->seed = parser.value(seed).toUInt(&seedOk);
    config->durationS = parser.value(duration).toDouble(&durationOk);
    config->timeScale = parser.value(scale).toDouble(&scaleOk);
    config->unitMs = parser.isSet(unit) ? parser.value(unit).toDouble(&unitOk) : config->timeScale * 1000;
    config->meters = parser.value(meters).toInt(&metersOk);
    const bool ok = seedOk && durationOk && config->durationS >= 5 && scaleOk && config->timeScale > 0
                    && config->timeScale <= 1 && unitOk && config->unitMs > 0 && metersOk && config->meters >= 0
                    && config->meters <= 40;
    config->pluginDir = parser.value(pluginDir);
    config->printSchedule = parser.isSet(printSchedule);
    config->verbose = parser.isSet(verbose);
    config->pluginLog = parser.isSet(pluginLog);
    if (!ok)
        std::fprintf(stderr, "lmn-soak: bad option value (see --help)\n");
    return ok;
}

Intervals intervalsFor(double unitMs)
{
    namespace I = QelLmnIntervals;
    Intervals iv;
    iv.periodMs = std::max(1.0, std::round(I::updateTimerPeriod * unitMs));
    iv.connectionMs = I::scaled(I::connectionTimerMs);
    iv.retryMs = I::scaled(I::retryTimerMs);
    iv.waitMs = I::scaled(I::connectionDetailsWaitMs);
    iv.resendMs = I::scaled(I::valueResendDelayMs);
    iv.timeoutMs = I::requestTimeout();
    return iv;
}

qint64 scheduleLengthMs(const Config &config, const Intervals &iv)
{
    return std::max<qint64>(2000, qint64(config.durationS * 1000) - qint64(std::ceil(recoveryPromiseMs(iv))) - 500);
}

} // namespace soak

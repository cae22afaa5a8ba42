#pragma once

#include <veyra/param.h>

#include <QString>
#include <QStringList>

class Thing;
class ThingClass;

// What the command line of veyra-host asks for.
struct HostOptions {
    QString pluginDir;
    QString serialPort = QStringLiteral("/dev/ttymxc3");
    bool serialPortGiven = false;
    QString serverPort = QStringLiteral("5000");
    bool serverPortGiven = false;
    QString storePath;
    double storeIntervalSeconds = 300; // changed cached states are saved at most this often
    int simulateMeters = -1;           // -1: no simulator
    double timerUnitMs = 1000;
    double runForSeconds = -1; // -1: until SIGINT/SIGTERM; otherwise finite and above 0
    bool events = false;
    bool infoOnly = false;
    bool diagnose = false;
    double timeoutSeconds = 60; // of --diagnose
    QString removeThingId;      // --remove-thing: remove this thing from the store and exit

    // Parses the arguments (without the program name). On error returns false and sets `error`;
    // `--help` and `--version` return false with an empty error and set `helpRequested` or
    // `versionRequested`.
    bool parse(const QStringList &arguments, QString *error, bool *helpRequested, bool *versionRequested);
    static QString helpText();
    static QString versionText();
    // The params of a new gateway thing.
    ParamList gatewayParams(const ThingClass &gatewayClass) const;
    // The params given on the command line that differ from a stored gateway's: they win, as if
    // the user had edited them.
    ParamList gatewayChanges(const Thing &gateway) const;
    static QString defaultPluginDir();
};

#pragma once
// What the tests, the soak and the benchmark each need around the built plugin: the plugin file
// in a host, its log lines for checks, and a watchdog that makes a hang name itself.

#include <veyra/thingmanager.h>

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>

namespace rig {

// The first library file in `directory`, or an empty string.
QString pluginFile(const QString &directory);

// Param list for a class by param name, the way a user names them; unknown names are left out.
ParamList paramsByName(const ThingClass &thingClass, const QVariantMap &values);
StateTypeId stateTypeId(const ThingClass &thingClass, const QString &name);
QString deviceIdOf(const Thing *thing);

// A host with the plugin loaded from `path`: a folder from which exactly one plugin loads, or a
// plugin file. Null with a reason.
std::unique_ptr<ThingManager> loadHost(const QString &path, QString *error);

// A host with the plugin loaded. The manager deletes the plugin, and with it every request the
// plugin has under way.
class PluginHost
{
public:
    // `path` as for loadHost().
    bool load(const QString &path, QString *error);

    ParamList gatewayParams(const QString &serverPort,
                            const QString &serialPort = QStringLiteral("/dev/ttymxc3")) const;
    // Returns once the host has handed the setup to the plugin, which finishes it once the
    // bridge has answered; null when the gateway was removed meanwhile.
    Thing *addGateway(const QString &serverPort, QString *error = nullptr);

    // By device ID: a pick by index names the same thing for the same set.
    Things meters() const;
    Thing *meter(const QString &deviceId) const;
    // The plugin's own timers: the connection timer (single-shot) and the retry timer.
    QList<QTimer *> pluginTimers() const;

    std::unique_ptr<ThingManager> manager;
    IntegrationPlugin *plugin = nullptr;
    const ThingClass *gatewayClass = nullptr;
    // Null once the host has deleted it, also while a test still holds the rig.
    QPointer<Thing> gateway;
};

// Records the plugin's log lines (category "QelLmn") logged on the thread that installed it, and
// hands each to `onLine`; every other message goes on to the handler that was in place. Install
// after QtTest has installed its own handler, so that a test's failures still reach its output.
class LogCapture
{
public:
    explicit LogCapture(bool record = true) : m_record(record) {}
    ~LogCapture() { uninstall(); }

    void install();
    void uninstall();

    // Lines that contain `part`, and lines that are exactly `line`.
    int count(const QString &part) const;
    int countExact(const QString &line) const { return int(lines.count(line)); }
    // Messages of other categories since install().
    int foreignMessages() const { return m_foreign; }

    QStringList lines;
    std::function<void(QtMsgType, const QString &)> onLine;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    const bool m_record;
    bool m_installed = false;
    std::atomic<int> m_foreign{0};
    Qt::HANDLE m_thread = nullptr;
    QtMessageHandler m_previous = nullptr;
};

// Unless stopped or armed again in time, calls `onHang`; by default that ends the process with
// qFatal(what), which QtTest reports against the test function that hung.
class Watchdog
{
public:
    explicit Watchdog(std::function<void()> onHang = {});
    void arm(int ms, const QString &what = QString());
    void stop() { m_timer.stop(); }

private:
    QTimer m_timer;
    QString m_what;
    std::function<void()> m_onHang;
};

// The process's one capture of the plugin's log (a message handler is per process), for suites
// built on TestCase.
LogCapture &testLog();

// Base of a QtTest suite: the plugin's log captured for the whole run and cleared before every
// test function, and a watchdog around each of them, so that a nested wait that never ends names
// its test function rather than showing only as the suite's time-out. QtTest looks these slots up
// by name, so it calls them for a derived suite too; a suite that needs more in one of them
// defines its own and calls this one.
class TestCase : public QObject
{
    Q_OBJECT

public:
    explicit TestCase(int watchdogMs, const QString &hang = QStringLiteral("Test function hung"));

protected slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

protected:
    // Armed for every test function; a test may arm it again for a wait of its own.
    Watchdog m_watchdog;

private:
    const int m_watchdogMs;
    const QString m_hang;
};

} // namespace rig

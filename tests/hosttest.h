// What the suites of veyra-host share: the host as a process with its output collected, and its
// --events lines read back.
#pragma once

#include "builtprogram.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <iterator>

// The simulator's totals name their meter: whole millions of Wh are the meter's LMN address.
inline constexpr double addressScaleWh = 1e6;

inline const QString energyStates[] = {QStringLiteral("totalEnergyConsumed"), QStringLiteral("totalEnergyProduced")};

// One veyra-host process with its output collected as it comes.
class HostProcess
{
public:
    // By default the plugin's 10 s waits become 100 ms; a time scale of "1" keeps them. Into a
    // `reader` such as "head -n 1", stdout closes when the reader ends; the exit code stays the host's.
    // `stdoutFile` or `stderrFile` (a FIFO, say) takes that output instead of the test.
    explicit HostProcess(const QStringList &arguments, const QString &timeScale = QStringLiteral("0.01"),
                         const QString &reader = QString(), const QString &stdoutFile = QString(),
                         const QString &stderrFile = QString())
    {
        if (!stdoutFile.isEmpty())
            m_process.setStandardOutputFile(stdoutFile);
        if (!stderrFile.isEmpty())
            m_process.setStandardErrorFile(stderrFile);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QELLMN_TIME_SCALE"), timeScale);
        // The plugin's progress lines on stderr tell a test when it may stop the host.
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("QelLmn.debug=true"));
        m_process.setProcessEnvironment(environment);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_stdout += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_stderr += m_process.readAllStandardError(); });
        if (!reader.isEmpty()) {
            // Under an emulator the pipeline runs the host through it, as startBuiltProgram does.
            const QString emulator = qEnvironmentVariable("VEYRA_TEST_EMULATOR");
            QStringList command = emulator.isEmpty() ? QStringList() : QStringList{emulator};
            command << QStringLiteral(VEYRA_HOST_BIN);
            const QString script = QStringLiteral("\"$0\" \"$@\" | %1; exit \"${PIPESTATUS[0]}\"").arg(reader);
            m_process.start(QStringLiteral("bash"), QStringList{QStringLiteral("-c"), script} + command + arguments);
            return;
        }
        startBuiltProgram(m_process, QStringLiteral(VEYRA_HOST_BIN), arguments);
    }

    ~HostProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool started() { return m_process.waitForStarted(10000); }

    // Waits for the end of the process; false when it did not end in time or crashed.
    bool finish(int timeoutMs)
    {
        if (!m_process.waitForFinished(timeoutMs))
            return false;
        m_stdout += m_process.readAllStandardOutput();
        m_stderr += m_process.readAllStandardError();
        return m_process.exitStatus() == QProcess::NormalExit;
    }

    // Ends the host as a user does, with SIGTERM; false as finish().
    bool stop(int timeoutMs = 20000)
    {
        m_process.terminate();
        return finish(timeoutMs);
    }

    bool running() const { return m_process.state() != QProcess::NotRunning; }
    QProcess &process() { return m_process; }
    int exitCode() const { return m_process.exitCode(); }
    QString out() const { return QString::fromUtf8(m_stdout); }
    QString err() const { return QString::fromUtf8(m_stderr); }

    // The complete lines of stdout so far.
    QList<QByteArray> lines() const
    {
        QList<QByteArray> result = m_stdout.split('\n');
        result.removeLast(); // the unfinished rest, empty after a newline
        return result;
    }

    // What failed, for a test message.
    QString describe() const
    {
        return QStringLiteral("exit %1, stderr (tail):\n%2").arg(m_process.exitCode()).arg(err().right(3000));
    }

private:
    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
};

// Events of one --events run, with every line checked to be one JSON object with "ms" and "event".
struct Events {
    QList<QJsonObject> all;
    QString problem; // the first malformed line, empty when all are good

    static Events parse(const QList<QByteArray> &lines)
    {
        Events events;
        double lastMs = -1;
        for (const QByteArray &line : lines) {
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            const QJsonObject object = document.object();
            if (!document.isObject() || !object.value(QStringLiteral("ms")).isDouble()
                || !object.value(QStringLiteral("event")).isString()) {
                if (events.problem.isEmpty())
                    events.problem = QStringLiteral("not an event line: \"%1\"").arg(QString::fromUtf8(line));
                continue;
            }
            const double ms = object.value(QStringLiteral("ms")).toDouble();
            if (ms < lastMs && events.problem.isEmpty())
                events.problem = QStringLiteral("\"ms\" goes back in: %1").arg(QString::fromUtf8(line));
            lastMs = ms;
            events.all.append(object);
        }
        return events;
    }

    QList<QJsonObject> of(const QString &event, const QString &thingId = QString()) const
    {
        QList<QJsonObject> result;
        for (const QJsonObject &object : all) {
            if (object.value(QStringLiteral("event")).toString() == event
                && (thingId.isEmpty() || object.value(QStringLiteral("thingId")).toString() == thingId))
                result.append(object);
        }
        return result;
    }

    QList<QJsonObject> added(const QString &thingClassPattern) const
    {
        const QRegularExpression pattern(QStringLiteral("^(%1)$").arg(thingClassPattern));
        QList<QJsonObject> result;
        for (const QJsonObject &object : of(QStringLiteral("thingAdded"))) {
            if (pattern.match(object.value(QStringLiteral("thingClass")).toString()).hasMatch())
                result.append(object);
        }
        return result;
    }

    // Values a thing's state took, in order.
    QList<QJsonValue> values(const QString &thingId, const QString &state) const
    {
        QList<QJsonValue> result;
        for (const QJsonObject &object : of(QStringLiteral("stateChanged"), thingId)) {
            if (object.value(QStringLiteral("state")).toString() == state)
                result.append(object.value(QStringLiteral("value")));
        }
        return result;
    }

    QString setupError(const QString &thingId) const
    {
        const QList<QJsonObject> setups = of(QStringLiteral("thingSetup"), thingId);
        return setups.isEmpty() ? QString() : setups.last().value(QStringLiteral("error")).toString();
    }

    // Readings of the meters' totals so far.
    int readings() const;
};

inline QString idOf(const QJsonObject &object)
{
    return object.value(QStringLiteral("thingId")).toString();
}

inline QString paramOf(const QJsonObject &added, const char *name)
{
    return added.value(QStringLiteral("params")).toObject().value(QLatin1String(name)).toString();
}

inline QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

inline const QString meterClasses = QStringLiteral("qelLmnMeter([1-9]|[12][0-9]|3[0-2])");

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline int Events::readings() const
{
    int count = 0;
    for (const QJsonObject &object : of(QStringLiteral("stateChanged"))) {
        const QString state = object.value(QStringLiteral("state")).toString();
        count += std::count(std::cbegin(energyStates), std::cend(energyStates), state);
    }
    return count;
}

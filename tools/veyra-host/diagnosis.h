// What a diagnose run has in common across its files: what it learns from the plugin's log, the
// findings built from it, and the object that runs the check.
#pragma once

#include "diagnose.h"

#include <veyra/thingmanager.h>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMap>

#include <memory>

namespace Diagnose {

const QString consumedState = QStringLiteral("totalEnergyConsumed");
const QString producedState = QStringLiteral("totalEnergyProduced");
const QString plusCall = QStringLiteral("GeActiceEnergyPlusTotal");
const QString minusCall = QStringLiteral("GeActiceEnergyMinusTotal");

struct Problem {
    QString text;
    QString hint;
};

struct MeterResult {
    QString deviceId;
    int address = -1;       // -1: the bridge's list was not seen
    int slot = 0;           // 0: no meter thing
    bool slotsFull = false; // the plugin had no slot left for it
    bool consumedRead = false;
    bool producedRead = false;
    double consumed = 0;
    double produced = 0;
    qint64 firstCallMs = -1;
    qint64 lastAnswerMs = -1;
    QStringList failedCalls; // the value calls the plugin gave up on
    QString failure;         // why, as the request layer said
    int failureStatus = 0;
    bool noNumber = false;  // answered, but without a number
    QStringList refused;    // totals the plugin did not write, as they cannot be right
    bool lockedOut = false; // the plugin said it keeps refusing one
};

// Log reading (diagnoselog.cpp).
QString unquoted(const QString &quoted);
int closingQuote(const QString &line, int open);
QStringList quotedTexts(const QString &line);

class Diagnosis : public QObject
{
public:
    explicit Diagnosis(const HostOptions &options) : m_options(options) { m_clock.start(); }
    ~Diagnosis() override;

    bool load(QString *error);
    void start();
    // Ends a check that was stopped from outside (a signal) with what it has seen.
    void stop()
    {
        m_stopped = !m_finished;
        finish(false);
    }
    int exitCode() const { return m_problems.isEmpty() && m_finished ? Diagnose::AllRead : Diagnose::Failed; }
    QString textReport() const;
    QJsonObject jsonReport() const;

private:
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    static void categoryFilter(QLoggingCategory *category);
    static QLoggingCategory::CategoryFilter s_previousFilter;
    void onPluginLine(const QString &line);
    void onRequestFailure(const QString &line);
    void onValueLine(const QString &line);
    void onMeterWarning(const QString &line);
    void milestone(const QString &name);
    void fireUpdateTimer();
    void fireCycle();
    bool refusalOpen() const;
    QString removeThingHint(const QString &deviceId) const;
    void finish(bool cycleEnded);
    void collectMeters();
    void addBridgeProblem();
    void addMeterProblems();
    QString bridgeAddress() const;
    MeterResult &meter(const QString &deviceId);

    HostOptions m_options;
    QElapsedTimer m_clock;
    std::unique_ptr<ThingManager> m_manager = std::make_unique<ThingManager>();
    Thing *m_gateway = nullptr;
    ThingClassId m_gatewayClassId;
    QtMessageHandler m_previousHandler = nullptr;
    static Diagnosis *s_active;

    // What the plugin's lines told so far.
    QList<QPair<QString, qint64>> m_milestones; // name, ms since the start
    QString m_portStep;                         // "initialised" or "re-initialised"
    qint64 m_connectedMs = -1;
    bool m_bridgeAnswered = false;
    QString m_failedStep; // the request that failed, as the plugin names it
    QString m_failureReason;
    int m_httpStatus = 0;
    bool m_unreachable = false;
    bool m_noMeters = false;
    QString m_unusableList; // what the plugin found wrong with the meter list
    bool m_listSeen = false;
    bool m_timerFired = false;
    int m_cyclesRun = 0;
    int m_slotlessCount = 0; // meters the plugin said it has no slot for
    bool m_fireWanted = false;
    bool m_finished = false;
    bool m_timedOut = false;
    bool m_stopped = false;              // by a signal, before it ended by itself
    QString m_deadlineReason;            // for the error report that follows a request's deadline
    QString m_valueErrorDevice;          // device of the value call whose error report runs
    QMap<QString, MeterResult> m_meters; // by device ID
    QList<Problem> m_problems;
};

} // namespace Diagnose

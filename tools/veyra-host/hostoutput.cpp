#include "hostoutput.h"

#include "outputchannel.h"
#include "tableview.h"
#include "terminaltext.h"

#include <veyra/plugintimer.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

HostOutput::HostOutput(ThingManager *manager, std::function<QByteArray(qint64)> dropNote, QObject *parent)
    : QObject(parent), m_manager(manager),
      m_channel(std::make_unique<OutputChannel>(STDOUT_FILENO, std::move(dropNote)))
{
    connect(manager, &ThingManager::thingAdded, this, [this](Thing *thing) { onThingAdded(thing); });
    connect(
        manager, &ThingManager::thingSetupFinished, this,
        [this](Thing *thing, Thing::ThingError error, const QString &message) { onThingSetup(thing, error, message); });
    connect(manager, &ThingManager::thingStateChanged, this,
            [this](Thing *thing, const StateTypeId &id, const QVariant &value) { onStateChanged(thing, id, value); });
    connect(manager, &ThingManager::thingStateSet, this,
            [this](Thing *thing, const StateTypeId &id) { onStateSet(thing, id); });
    connect(manager, &ThingManager::thingRemoved, this, [this](Thing *thing) { onThingRemoved(thing); });
    connect(m_channel.get(), &OutputChannel::closed, this, &HostOutput::outputClosed);
}

// What still waits gets a moment, no more: a stop must not hang on a reader that does not read.
HostOutput::~HostOutput()
{
    m_channel->flushFor(finalFlushMs);
}

LogOutput *LogOutput::s_active = nullptr;

LogOutput::LogOutput(QObject *parent)
    : QObject(parent), m_channel(std::make_unique<OutputChannel>(STDERR_FILENO, [](qint64 dropped) {
          return QStringLiteral("veyra-host: %1 log lines were dropped while stderr was not read\n")
              .arg(dropped)
              .toUtf8();
      }))
{
    if (!s_active) {
        s_active = this;
        m_previous = qInstallMessageHandler(&LogOutput::handler);
    }
}

LogOutput::~LogOutput()
{
    if (s_active == this) {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    m_channel->flushFor(HostOutput::finalFlushMs);
}

void LogOutput::writeLine(const QString &line)
{
    QByteArray bytes = line.toUtf8();
    bytes += '\n';
    m_channel->appendLine(bytes);
}

void LogOutput::handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LogOutput *log = s_active;
    if (!log || type == QtFatalMsg || QThread::currentThread() != log->thread()) {
        if (log && log->m_previous)
            log->m_previous(type, context, message);
        return;
    }
    // Nothing, as Qt prints nothing, when the message pattern left nothing of it.
    const QString line = qFormatLogMessage(type, context, message);
    if (!line.isNull())
        log->writeLine(line);
}

void HostOutput::onStateSet(Thing *thing, const StateTypeId &stateTypeId)
{
    Q_UNUSED(thing)
    Q_UNUSED(stateTypeId)
}

// ---- Events ----

EventOutput::EventOutput(ThingManager *manager, const QElapsedTimer &clock, QObject *parent)
    : HostOutput(
        manager,
        [this](qint64 dropped) {
            // Stamped as the last line printed, so that "ms" never goes back.
            return line(QJsonObject{{QStringLiteral("ms"), m_lastMs},
                                    {QStringLiteral("event"), QStringLiteral("eventsDropped")},
                                    {QStringLiteral("count"), dropped}});
        },
        parent),
      m_clock(clock)
{
    // Things restored from the store before the output was there; from the event loop, so that a
    // closed stdout is told to whoever listens by then.
    QMetaObject::invokeMethod(
        this,
        [this] {
            for (Thing *thing : m_manager->things())
                onThingAdded(thing);
        },
        Qt::QueuedConnection);
}

QJsonObject EventOutput::header(const QString &event, Thing *thing) const
{
    return QJsonObject{
        {QStringLiteral("ms"), m_clock.elapsed()},         {QStringLiteral("event"), event},
        {QStringLiteral("thingId"), thing->id().toText()}, {QStringLiteral("thingClass"), thing->thingClass().name()},
        {QStringLiteral("name"), thing->name()},
    };
}

QByteArray EventOutput::line(const QJsonObject &object)
{
    QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    text += '\n';
    return text;
}

void EventOutput::print(const QJsonObject &object)
{
    m_lastMs = qint64(object.value(QStringLiteral("ms")).toDouble());
    m_channel->appendLine(line(object));
}

void EventOutput::onThingAdded(Thing *thing)
{
    QJsonObject object = header(QStringLiteral("thingAdded"), thing);
    object.insert(QStringLiteral("parentId"),
                  thing->parentId().isNull() ? QJsonValue() : QJsonValue(thing->parentId().toText()));
    QJsonObject params;
    for (const ParamType &paramType : thing->thingClass().paramTypes())
        params.insert(paramType.name, QJsonValue::fromVariant(thing->paramValue(paramType.id)));
    object.insert(QStringLiteral("params"), params);
    // As they stand: a thing restored from the store comes with the values it kept.
    QJsonObject states;
    for (const StateType &stateType : thing->thingClass().stateTypes())
        states.insert(stateType.name, QJsonValue::fromVariant(thing->stateValue(stateType.id)));
    object.insert(QStringLiteral("states"), states);
    print(object);
}

void EventOutput::onThingSetup(Thing *thing, Thing::ThingError error, const QString &message)
{
    QJsonObject object = header(QStringLiteral("thingSetup"), thing);
    object.insert(QStringLiteral("error"),
                  QString::fromLatin1(QMetaEnum::fromType<Thing::ThingError>().valueToKey(error)));
    object.insert(QStringLiteral("message"), message);
    print(object);
}

void EventOutput::onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value)
{
    const int index = thing->thingClass().stateIndex(stateTypeId);
    QJsonObject object = header(QStringLiteral("stateChanged"), thing);
    object.insert(QStringLiteral("state"),
                  index < 0 ? stateTypeId.toText() : thing->thingClass().stateTypes().at(index).name);
    object.insert(QStringLiteral("value"), QJsonValue::fromVariant(value));
    print(object);
}

void EventOutput::onThingRemoved(Thing *thing)
{
    print(header(QStringLiteral("thingRemoved"), thing));
}

// ---- Table ----

namespace {
constexpr int keptLogLines = 100;

QString stateName(Thing *thing, const StateTypeId &stateTypeId)
{
    const int index = thing->thingClass().stateIndex(stateTypeId);
    return index < 0 ? QString() : thing->thingClass().stateTypes().at(index).name;
}

// Columns and lines of the terminal on stdout; the usual 80x24 when it does not say.
QPair<int, int> terminalSize()
{
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return {80, 24};
    return {size.ws_col, size.ws_row};
}
} // namespace

TableOutput *TableOutput::s_logTarget = nullptr;

TableOutput::TableOutput(ThingManager *manager, const QString &title, QObject *parent)
    : HostOutput(manager, nullptr, parent), m_title(title), m_refresh(new QTimer(this)),
      m_interactive(isatty(STDOUT_FILENO))
{
    m_clock.start();
    // Things restored from the store show their last totals until the first reading comes.
    for (Thing *thing : manager->things())
        m_restored.insert(thing);
    // A terminal gets a live view; a pipe or file gets a new table only when something changed.
    m_refresh->setInterval(m_interactive ? 1000 : 5000);
    connect(m_refresh, &QTimer::timeout, this, &TableOutput::render);
    m_refresh->start();
    // Log lines written to the same terminal would be wiped by the next redraw.
    if (m_interactive && isatty(STDERR_FILENO) && !s_logTarget) {
        s_logTarget = this;
        m_previousHandler = qInstallMessageHandler(&TableOutput::logHandler);
    }
}

TableOutput::~TableOutput()
{
    if (s_logTarget == this) {
        qInstallMessageHandler(m_previousHandler);
        s_logTarget = nullptr;
    }
    // A run shorter than one refresh would otherwise leave a pipe or file empty.
    if (!m_interactive)
        render();
}

void TableOutput::logHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    TableOutput *table = s_logTarget;
    if (!table)
        return;
    table->m_log.append(qFormatLogMessage(type, context, message));
    if (table->m_log.size() > keptLogLines)
        table->m_log.removeFirst();
    table->m_dirty = true;
}

void TableOutput::onThingAdded(Thing *thing)
{
    Q_UNUSED(thing)
    m_dirty = true;
}

void TableOutput::onThingSetup(Thing *thing, Thing::ThingError error, const QString &message)
{
    if (error != Thing::ThingErrorNoError)
        m_setupErrors.insert(thing, message);
    else
        m_setupErrors.remove(thing);
    m_dirty = true;
}

void TableOutput::onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value)
{
    if (stateName(thing, stateTypeId) == QLatin1String("connected")) {
        if (value.toBool())
            m_disconnectedAt.remove(thing);
        else
            m_disconnectedAt.insert(thing, m_clock.elapsed());
    }
    m_dirty = true;
}

void TableOutput::onStateSet(Thing *thing, const StateTypeId &stateTypeId)
{
    const QString name = stateName(thing, stateTypeId);
    if (name == QLatin1String("totalEnergyConsumed"))
        m_readings[thing].consumedAt = m_clock.elapsed();
    else if (name == QLatin1String("totalEnergyProduced"))
        m_readings[thing].producedAt = m_clock.elapsed();
    else
        return;
    m_dirty = true;
}

void TableOutput::onThingRemoved(Thing *thing)
{
    m_readings.remove(thing);
    m_restored.remove(thing);
    m_disconnectedAt.remove(thing);
    m_setupErrors.remove(thing);
    m_dirty = true;
}

void TableOutput::render()
{
    if (!m_interactive && !m_dirty)
        return;
    m_dirty = false;
    QByteArray text;
    if (m_interactive) {
        const QPair<int, int> size = terminalSize();
        // Overwritten in place, each line cleared to its end (a full one is not: at the last
        // column some terminals would erase its last character): no flicker, and nothing scrolls.
        QStringList lines = view().render(size.first, size.second);
        for (QString &line : lines) {
            if (TerminalText::cells(line) < size.first)
                line += QStringLiteral("\x1b[K");
        }
        text = "\x1b[H" + lines.join(QLatin1Char('\n')).toUtf8();
        // What an earlier, longer table left below goes; on a full screen there is nothing below.
        if (lines.size() < size.second)
            text += "\n\x1b[J";
    } else {
        text = view().render(0, 0).join(QLatin1Char('\n')).toUtf8() + "\n\n";
    }
    m_channel->setFrame(text);
}

qint64 TableOutput::updatePeriodMs() const
{
    qint64 period = 0;
    for (PluginTimer *timer : m_manager->hardwareManager()->pluginTimerManager()->timers())
        period = std::max<qint64>(period, timer->intervalMs());
    return period;
}

QString TableOutput::gatewayLine(Thing *thing) const
{
    QString state;
    if (m_setupErrors.contains(thing))
        state = QStringLiteral("setup failed: ") + m_setupErrors.value(thing);
    else if (thing->stateValue(QStringLiteral("connected")).toBool())
        state = QStringLiteral("connected");
    else if (m_disconnectedAt.contains(thing))
        state = QStringLiteral("not connected, last connected ")
                + ageText(m_clock.elapsed() - m_disconnectedAt.value(thing));
    else
        state = QStringLiteral("not connected yet");
    return QStringLiteral("Gateway %1 (%2): %3").arg(thing->name(), thing->thingClass().name(), state);
}

TableView TableOutput::view() const
{
    static const QRegularExpression slotPattern(QStringLiteral("(\\d+)$"));
    TableView view;
    view.headline = m_title.split(QLatin1Char('\n'));
    view.headline.append(QStringLiteral("running for %1 s").arg(m_clock.elapsed() / 1000));
    view.log = m_log;
    const qint64 now = m_clock.elapsed();
    const qint64 staleAfter = 2 * updatePeriodMs();
    for (Thing *thing : m_manager->things()) {
        if (thing->parentId().isNull()) {
            view.gateways.append(gatewayLine(thing));
            continue;
        }
        const Readings readings = m_readings.value(thing);
        TableView::Row row;
        const auto match = slotPattern.match(thing->thingClass().name());
        row.slot = match.hasMatch() ? match.captured(1).toInt() : 0;
        row.deviceId = thing->stateValue(QStringLiteral("deviceID")).toString();
        const qint64 last = std::max(readings.consumedAt, readings.producedAt);
        const double consumed = thing->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble();
        const double produced = thing->stateValue(QStringLiteral("totalEnergyProduced")).toDouble();
        // A stored total of 0 is the default: nothing was kept for it.
        row.restored = last < 0 && m_restored.contains(thing) && (consumed > 0 || produced > 0);
        if (readings.consumedAt >= 0 || (row.restored && consumed > 0))
            row.consumedKWh = consumed;
        if (readings.producedAt >= 0 || (row.restored && produced > 0))
            row.producedKWh = produced;
        row.ageMs = last < 0 ? -1 : now - last;
        row.stale = last >= 0 && staleAfter > 0 && row.ageMs > staleAfter;
        view.rows.append(row);
    }
    std::sort(view.rows.begin(), view.rows.end(),
              [](const TableView::Row &a, const TableView::Row &b) { return a.slot < b.slot; });
    return view;
}

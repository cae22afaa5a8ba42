#include "hostoutput.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

HostOutput::HostOutput(ThingManager *manager, QObject *parent) : QObject(parent), m_manager(manager)
{
    connect(manager, &ThingManager::thingAdded, this, [this](Thing *thing) { onThingAdded(thing); });
    connect(manager, &ThingManager::thingSetupFinished, this,
            [this](Thing *thing, Thing::ThingError error, const QString &message) { onThingSetup(thing, error, message); });
    connect(manager, &ThingManager::thingStateChanged, this,
            [this](Thing *thing, const StateTypeId &id, const QVariant &value) { onStateChanged(thing, id, value); });
    connect(manager, &ThingManager::thingRemoved, this, [this](Thing *thing) { onThingRemoved(thing); });
}

HostOutput::~HostOutput() = default;

bool HostOutput::write(const QByteArray &bytes)
{
    errno = 0;
    const bool ok = fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size())
                    && fflush(stdout) == 0;
    if (ok)
        return true;
    // SIGPIPE is ignored (Qt's network code does that), so a closed pipe shows only as EPIPE.
    const bool closed = errno == EPIPE;
    clearerr(stdout);
    if (closed && !m_closed) {
        m_closed = true;
        emit outputClosed();
    }
    return false;
}

// ---- Events ----

EventOutput::EventOutput(ThingManager *manager, const QElapsedTimer &clock, QObject *parent)
    : HostOutput(manager, parent), m_clock(clock)
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
        {QStringLiteral("ms"), m_clock.elapsed()},
        {QStringLiteral("event"), event},
        {QStringLiteral("thingId"), thing->id().toText()},
        {QStringLiteral("thingClass"), thing->thingClass().name()},
        {QStringLiteral("name"), thing->name()},
    };
}

void EventOutput::print(const QJsonObject &object)
{
    write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
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
    object.insert(QStringLiteral("state"), index < 0 ? stateTypeId.toText() : thing->thingClass().stateTypes().at(index).name);
    object.insert(QStringLiteral("value"), QJsonValue::fromVariant(value));
    print(object);
}

void EventOutput::onThingRemoved(Thing *thing)
{
    print(header(QStringLiteral("thingRemoved"), thing));
}

// ---- Table ----

TableOutput::TableOutput(ThingManager *manager, const QString &title, QObject *parent)
    : HostOutput(manager, parent), m_title(title), m_refresh(new QTimer(this)), m_interactive(isatty(STDOUT_FILENO))
{
    m_clock.start();
    // A terminal gets a live view; a pipe or file gets a new table only when something changed.
    m_refresh->setInterval(m_interactive ? 1000 : 5000);
    connect(m_refresh, &QTimer::timeout, this, &TableOutput::render);
    m_refresh->start();
}

TableOutput::~TableOutput()
{
    // A run shorter than one refresh would otherwise leave a pipe or file empty.
    if (!m_interactive)
        render();
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
    Q_UNUSED(value)
    const int index = thing->thingClass().stateIndex(stateTypeId);
    const QString name = index < 0 ? QString() : thing->thingClass().stateTypes().at(index).name;
    if (name == QLatin1String("totalEnergyConsumed") || name == QLatin1String("totalEnergyProduced"))
        m_lastReading.insert(thing, m_clock.elapsed());
    m_dirty = true;
}

void TableOutput::onThingRemoved(Thing *thing)
{
    m_lastReading.remove(thing);
    m_setupErrors.remove(thing);
    m_dirty = true;
}

void TableOutput::render()
{
    if (!m_interactive && !m_dirty)
        return;
    m_dirty = false;
    QByteArray text = renderText().toUtf8();
    if (m_interactive)
        text.prepend("\x1b[H\x1b[2J");
    else
        text.append('\n');
    write(text);
}

QString TableOutput::renderText() const
{
    static const QRegularExpression slotPattern(QStringLiteral("(\\d+)$"));
    QString text = m_title + QStringLiteral("\nrunning for %1 s\n\n").arg(m_clock.elapsed() / 1000);
    struct Row { int slot; Thing *thing; };
    QList<Row> rows;
    for (Thing *thing : m_manager->things()) {
        const QVariant connected = thing->stateValue(QStringLiteral("connected"));
        if (thing->parentId().isNull()) {
            text += QStringLiteral("Gateway %1 (%2): %3\n")
                        .arg(thing->name(), thing->thingClass().name(),
                             m_setupErrors.contains(thing) ? QStringLiteral("setup failed: ") + m_setupErrors.value(thing)
                             : connected.toBool()          ? QStringLiteral("connected")
                                                           : QStringLiteral("not connected"));
            continue;
        }
        const auto match = slotPattern.match(thing->thingClass().name());
        rows.append({match.hasMatch() ? match.captured(1).toInt() : 0, thing});
    }
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.slot < b.slot; });
    text += QStringLiteral("%1  %2  %3  %4  %5\n")
                .arg(QStringLiteral("slot"), 4)
                .arg(QStringLiteral("device ID"), -20)
                .arg(QStringLiteral("consumed kWh"), 14)
                .arg(QStringLiteral("produced kWh"), 14)
                .arg(QStringLiteral("last reading"), 12);
    for (const Row &row : qAsConst(rows)) {
        const qint64 at = m_lastReading.value(row.thing, -1);
        const QString age = at < 0 ? QStringLiteral("never")
                                   : QStringLiteral("%1 s ago").arg((m_clock.elapsed() - at) / 1000);
        text += QStringLiteral("%1  %2  %3  %4  %5\n")
                    .arg(row.slot, 4)
                    .arg(row.thing->stateValue(QStringLiteral("deviceID")).toString(), -20)
                    .arg(row.thing->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble(), 14, 'f', 3)
                    .arg(row.thing->stateValue(QStringLiteral("totalEnergyProduced")).toDouble(), 14, 'f', 3)
                    .arg(age, 12);
    }
    if (rows.isEmpty())
        text += QStringLiteral("  (no meters yet: the plugin asks the bridge for its meters after the port is up)\n");
    return text;
}

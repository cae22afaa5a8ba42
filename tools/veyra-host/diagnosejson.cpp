#include "diagnosis.h"

#include <QJsonArray>

namespace Diagnose {

QJsonObject Diagnosis::jsonReport() const
{
    QJsonObject bridge{
        {QStringLiteral("address"), bridgeAddress()},
        {QStringLiteral("serialPort"), m_options.serialPort},
        {QStringLiteral("reachable"), m_bridgeAnswered},
        {QStringLiteral("reason"), m_bridgeAnswered ? QString() : m_failureReason},
        {QStringLiteral("port"), m_portStep},
        {QStringLiteral("connectedMs"), m_connectedMs < 0 ? QJsonValue() : QJsonValue(m_connectedMs)},
    };
    QJsonArray steps;
    qint64 previous = 0;
    for (const auto &step : m_milestones) {
        steps.append(QJsonObject{{QStringLiteral("step"), step.first},
                                 {QStringLiteral("atMs"), step.second},
                                 {QStringLiteral("durationMs"), step.second - previous}});
        previous = step.second;
    }
    QJsonArray meters;
    for (const MeterResult &row : m_meters) {
        meters.append(QJsonObject{
            {QStringLiteral("deviceId"), row.deviceId},
            {QStringLiteral("slot"), row.slot == 0 ? QJsonValue() : QJsonValue(row.slot)},
            {QStringLiteral("lmnAddress"), row.address < 0 ? QJsonValue() : QJsonValue(row.address)},
            {QStringLiteral("created"), row.slot != 0},
            {QStringLiteral("consumedKWh"),
             row.consumedRead && !row.refused.contains(consumedState) ? QJsonValue(row.consumed) : QJsonValue()},
            {QStringLiteral("producedKWh"),
             row.producedRead && !row.refused.contains(producedState) ? QJsonValue(row.produced) : QJsonValue()},
            {QStringLiteral("read"), row.consumedRead && row.producedRead},
            {QStringLiteral("refused"), QJsonArray::fromStringList(row.refused)},
            {QStringLiteral("readMs"),
             row.consumedRead && row.producedRead ? QJsonValue(row.lastAnswerMs - row.firstCallMs) : QJsonValue()},
        });
    }
    QJsonArray problems;
    for (const Problem &problem : m_problems)
        problems.append(QJsonObject{{QStringLiteral("problem"), problem.text}, {QStringLiteral("hint"), problem.hint}});
    return QJsonObject{
        {QStringLiteral("event"), QStringLiteral("diagnosis")},
        {QStringLiteral("verdict"), exitCode() == Diagnose::AllRead ? QStringLiteral("ok") : QStringLiteral("failed")},
        {QStringLiteral("exitCode"), exitCode()},
        {QStringLiteral("bridge"), bridge},
        {QStringLiteral("steps"), steps},
        {QStringLiteral("meters"), meters},
        {QStringLiteral("problems"), problems},
        {QStringLiteral("totalMs"), m_milestones.isEmpty() ? 0 : m_milestones.last().second},
    };
}

} // namespace Diagnose

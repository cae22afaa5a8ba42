#include "qellmnintervals.h"

#include "qellmnlogging.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace QelLmnIntervals {

namespace {
double readTimeScale()
{
    const QByteArray text = qgetenv("QELLMN_TIME_SCALE");
    if (text.isEmpty())
        return 1.0;
    bool ok = false;
    const double factor = text.toDouble(&ok);
    if (!ok || !(factor > 0.0) || factor > 1.0) {
        qCWarning(dcQelLmn) << "QELLMN_TIME_SCALE" << text.constData() << "is not a factor in (0, 1] and is ignored.";
        return 1.0;
    }
    // The seam is in the shipped plugin, as the tests run that very file: a host that has it set
    // by mistake polls and retries far too often, and the log says why.
    if (factor != 1.0)
        qCWarning(dcQelLmn) << "QELLMN_TIME_SCALE is set: every interval is multiplied by" << factor
                            << "- meant for tests only.";
    return factor;
}
} // namespace

double timeScale()
{
    static const double factor = readTimeScale();
    return factor;
}

int scaled(int ms)
{
    const double factor = timeScale();
    if (factor == 1.0)
        return ms;
    return std::max(1, static_cast<int>(std::lround(ms * factor)));
}

int requestTimeout()
{
    return std::max(1000, scaled(requestTimeoutMs));
}

} // namespace QelLmnIntervals

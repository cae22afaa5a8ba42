#include "qellmnlogging.h"

// Q_LOGGING_CATEGORY creates the category on first use, thread-safely, and destroys it at unload.
Q_LOGGING_CATEGORY(dcQelLmn, "QelLmn")

QDebug warningUnlessRepeated(bool repeated)
{
    const QMessageLogger logger;
    return repeated ? logger.debug(dcQelLmn) : logger.warning(dcQelLmn);
}

// lmn-soak: the built plugin file in the host stand-in against the in-process bridge simulator,
// for a while, under a seeded random schedule of faults. Invariants are checked all along and
// counted; the exit status is 0 only when every count is 0.
#include "soakconfig.h"
#include "soakrunner.h"
#include "soakschedule.h"

#include <QCoreApplication>

#include <cstdio>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char *argv[])
{
#if defined(__GLIBC__)
    // A fixed threshold: blocks of 256 kB and more are always the system's and go back to it when
    // freed. glibc would otherwise raise it after the first such free, keep the large bodies that
    // the simulator and the client handle in its arenas, and resident memory would then tell
    // nothing about what is still in use.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    // The plugin's debug lines count cycles and mark the moments for armed removals.
    // Through the environment, before anything logs: rules from there override rules set in code.
    QByteArray rules = qgetenv("QT_LOGGING_RULES");
    rules += rules.isEmpty() ? "QelLmn.debug=true" : ";QelLmn.debug=true";
    qputenv("QT_LOGGING_RULES", rules);
    QCoreApplication app(argc, argv);
    soak::Config config;
    if (!soak::parseCommandLine(app, &config))
        return 2;
    // Before the plugin arms its first timer: it reads the seam once.
    qputenv("QELLMN_TIME_SCALE", QByteArray::number(config.timeScale, 'g', 10));
    const soak::Intervals intervals = soak::intervalsFor(config.unitMs);
    if (config.printSchedule) {
        for (const soak::Event &event : soak::makeSchedule(config.seed, int(soak::scheduleLengthMs(config, intervals))))
            std::printf("%s\n", soak::describe(event).c_str());
        return 0;
    }
    return soak::run(config, intervals);
}

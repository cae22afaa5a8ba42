#pragma once
// Starts a program of this build from a test. In a cross build the tests run under the emulator
// named by VEYRA_TEST_EMULATOR (set by CTest there), and the programs they start must too.

#include <QProcess>
#include <QStringList>

inline void startBuiltProgram(QProcess &process, const QString &program, const QStringList &arguments)
{
    const QString emulator = qEnvironmentVariable("VEYRA_TEST_EMULATOR");
    if (emulator.isEmpty())
        process.start(program, arguments);
    else
        process.start(emulator, QStringList{program} + arguments);
}

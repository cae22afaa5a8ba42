// Preloaded into the test programs of a cross build run under qemu-user (see tests/CMakeLists.txt).
// qemu-user 7.2 passes waitid(P_PIDFD) through to the kernel, so Qt's process launcher believes
// that pidfds work, but it refuses clone(CLONE_PIDFD) with EINVAL. Qt then takes the failed clone
// for a started child: QProcess reports a running process with pid -1, and its kill() sends
// SIGKILL to pid -1, that is to every process of the machine. Failing the probe with ENOSYS makes
// Qt fall back to fork() and SIGCHLD, which qemu emulates.
#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

extern "C" __attribute__((visibility("default"))) long syscall(long number, ...)
{
    // The kernel takes at most six word-sized arguments; passing on six words keeps them in place.
    long args[6];
    va_list list;
    va_start(list, number);
    for (long &arg : args)
        arg = va_arg(list, long);
    va_end(list);

    if (number == SYS_waitid && args[0] == P_PIDFD) {
        errno = ENOSYS;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const auto next = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

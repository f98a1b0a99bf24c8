#include "interrupts.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace programs {

namespace {

int interruptPipe[2] = {-1, -1};

extern "C" void onInterrupt(int)
{
    const int saved = errno;
    const char byte = 1;
    const ssize_t ignored = ::write(interruptPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

} // namespace

std::unique_ptr<QSocketNotifier> watchInterrupts(std::function<void()> onFirst,
                                                 std::function<void()> onSecond)
{
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    auto count = std::make_shared<int>(0);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                     [onFirst, onSecond, count] {
                         char bytes[16];
                         const ssize_t n = ::read(interruptPipe[0], bytes, sizeof bytes);
                         for (ssize_t i = 0; i < n && *count < 2; ++i)
                             ++*count == 1 ? onFirst() : onSecond();
                     });
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return notifier;
}

} // namespace programs

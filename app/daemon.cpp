#include "app/daemon.h"

#include <sys/resource.h>

#include "app/inventory.h"

namespace uc {

namespace {

// Every client connection takes a descriptor, and the soft limit a daemon is
// commonly started with (1024) is far below what the system grants (the hard
// limit): without this the daemon would stop accepting at about a thousand
// clients. Raising the soft limit needs no privilege; a failure leaves the
// limit as it was.
void raise_descriptor_limit() noexcept
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

void run_daemon(int descriptor)
{
    raise_descriptor_limit();
    // Destroyed on every way out, also when an exception leaves run().
    inventory_t inventory;
    inventory.run(descriptor);
}

}  // namespace uc

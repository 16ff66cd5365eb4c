#include "app/daemon.h"

#include "app/inventory.h"

namespace uc {

void run_daemon(int descriptor)
{
    // Destroyed on every way out, also when an exception leaves run().
    inventory_t inventory;
    inventory.run(descriptor);
}

}  // namespace uc

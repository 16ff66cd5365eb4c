#include "ipc/client_count.h"

namespace uc {

client_count_signal_t& client_count_signal()
{
    static client_count_signal_t signal;
    return signal;
}

}  // namespace uc

// The process-wide client count signal: client sessions emit +1 when they are
// created and -1 when they are destroyed; the statistics collector listens.
#pragma once

#include <boost/signals2/signal.hpp>

namespace uc {

using client_count_signal_t = boost::signals2::signal<void(int)>;

// The one instance. Emitted and connected on the event-loop thread only.
client_count_signal_t& client_count_signal();

}  // namespace uc

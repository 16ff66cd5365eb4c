// A valid COM_NORVA_MONITOR makes the process a daemon on that descriptor:
// the command line is ignored, and every way out ends with the exit line.
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/process.h"

namespace uc {
namespace {

using nv::test::child_process_t;
using nv::test::describe;
using nv::test::process_options_t;

// Waits for the first bytes the daemon sends to its peer; true if they came.
bool peer_receives(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 30000) != 1)
        return false;
    char buffer[256];
    return read(fd, buffer, sizeof buffer) > 0;
}

TEST(StartUp, ValidMonitorDescriptorsAreTakenAndArgumentsIgnored)
{
    // Each spelling names descriptor 5 (with "+" and leading zeros).
    for (const char* value : {"5", "+5", "005"}) {
        SCOPED_TRACE(value);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        process_options_t options;
        options.program = nv::test::bin_path("norva-urlcheck");
        options.argv = {options.program, "--help", "--version"};
        options.set_env["COM_NORVA_MONITOR"] = value;
        options.unset_env = {"COM_NORVA_ADD_LOG_PIPE"};
        options.inherit = {{5, pair[1]}};
        auto daemon = child_process_t::start(options);
        close(pair[1]);
        EXPECT_TRUE(peer_receives(pair[0])) << "the daemon did not talk on descriptor 5";
        daemon.send_signal(SIGTERM);
        const auto result = daemon.wait();
        close(pair[0]);
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, 107) << describe(result);
        EXPECT_EQ(result.out, "") << "the command line was not ignored";
        // Never configured: the buffered Debug traffic stays below the exit level.
        EXPECT_TRUE(result.err.ends_with("Notice: Exit with status 107 (Process terminated by signal)\n")) << result.err;
        EXPECT_EQ(result.err.find("Debug: "), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace uc

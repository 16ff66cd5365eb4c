// uc::stat_collector_t: what each period reports as sessions come and go.
#include <gtest/gtest.h>

#include "ipc/client_count.h"
#include "ipc/stat_collector.h"
#include "tests/support/fake_application.h"
#include "proto/configd_urlcheck_ipc.pb.h"
#include "tests/support/frames.h"

namespace nv::test {
namespace {

using to_configd_t = UrlCheck2ConfigdMessage;

struct counts_t {
    std::uint64_t base, in, out;
    bool operator==(const counts_t&) const = default;
};

std::ostream& operator<<(std::ostream& out, const counts_t& c)
{
    return out << "base " << c.base << ", in " << c.in << ", out " << c.out;
}

class StatCollector : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto [ours, theirs] = socket_pair();
        peer_ = std::move(ours);
        app_.configd_link = uc::configd_tie_t::create(app_, theirs.release());
        collector_ = std::make_unique<uc::stat_collector_t>(app_.event_loop(), *app_.configd_link);
    }

    // Ends the period now and returns what was sent to ConfigD.
    counts_t period()
    {
        collector_->report();
        EXPECT_EQ(app_.run_for(100ms), nullptr);
        for (;;) {
            const std::optional<to_configd_t> message = read_message<to_configd_t>(peer_.get(), 2s);
            if (!message) {
                ADD_FAILURE() << "no statistics";
                return {};
            }
            if (message->tag() == to_configd_t::MY_STAT_NOTIFICATION) {
                const UrlCheckConnectionStat& c = message->stat().connections();
                return {c.base(), c.in(), c.out()};
            }
        }
    }

    fake_application_t app_;
    unique_fd_t peer_;
    std::unique_ptr<uc::stat_collector_t> collector_;
};

TEST_F(StatCollector, PeriodsCarryOpenConnectionsForward)
{
    auto& clients = uc::client_count_signal();
    EXPECT_EQ(period(), (counts_t{0, 0, 0}));
    clients(+1), clients(+1), clients(+1), clients(-1);
    EXPECT_EQ(period(), (counts_t{0, 3, 1}));
    EXPECT_EQ(period(), (counts_t{2, 0, 0}));
    // Opened and closed within one period: in both counts, base unchanged.
    clients(+1), clients(-1);
    EXPECT_EQ(period(), (counts_t{2, 1, 1}));
    clients(-1), clients(-1);
    EXPECT_EQ(period(), (counts_t{2, 0, 2}));
    EXPECT_EQ(period(), (counts_t{0, 0, 0}));
}

TEST_F(StatCollector, StopsListeningWhenDestroyed)
{
    collector_.reset();
    // Would reach a destroyed collector if the subscription outlived it.
    uc::client_count_signal()(+1);
    EXPECT_EQ(uc::client_count_signal().num_slots(), 0u);
}

TEST_F(StatCollector, TimerReportsOncePerSecond)
{
    EXPECT_EQ(app_.run_for(2500ms), nullptr);
    int reports = 0;
    while (const std::optional<to_configd_t> message = read_message<to_configd_t>(peer_.get(), 200ms))
        reports += message->tag() == to_configd_t::MY_STAT_NOTIFICATION;
    EXPECT_GE(reports, 1);
    EXPECT_LE(reports, 3);
}

}  // namespace
}  // namespace nv::test

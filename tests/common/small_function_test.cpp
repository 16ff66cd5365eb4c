// The move-only callable wrapper: every callable it takes is destroyed exactly
// once, whether it lives inside the wrapper or on the heap, through moves,
// assignments and resets; empty sources give empty wrappers.
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "common/small_function.h"

namespace nv {
namespace {

using function_t = small_function_t<int(int), 32>;

// Counts its live copies through a shared counter; moved-from objects do not count.
struct counted_t {
    explicit counted_t(std::shared_ptr<int> live) : live(std::move(live)) { ++*this->live; }
    counted_t(counted_t&& other) noexcept : live(std::move(other.live)) {}
    counted_t(const counted_t&) = delete;
    ~counted_t()
    {
        if (live)
            --*live;
    }
    std::shared_ptr<int> live;
};

template <std::size_t Padding>
struct adder_t {
    int operator()(int x) { return x + base + static_cast<int>(padding[0]); }
    counted_t counted;
    int base;
    char padding[Padding] = {};
};

using small_adder_t = adder_t<1>;
using large_adder_t = adder_t<64>;
static_assert(function_t::fits_inline<small_adder_t>);
static_assert(!function_t::fits_inline<large_adder_t>);

template <class Adder>
void every_callable_destroyed_once()
{
    auto live = std::make_shared<int>(0);
    {
        function_t a(Adder{counted_t(live), 10});
        EXPECT_EQ(*live, 1);
        EXPECT_EQ(a(1), 11);

        function_t b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(*live, 1);
        EXPECT_EQ(b(2), 12);

        function_t c(Adder{counted_t(live), 20});
        EXPECT_EQ(*live, 2);
        c = std::move(b); // the callable c held goes
        EXPECT_EQ(*live, 1);
        EXPECT_EQ(c(3), 13);

        c = Adder{counted_t(live), 30};
        EXPECT_EQ(*live, 1);
        EXPECT_EQ(c(3), 33);

        c = nullptr;
        EXPECT_EQ(*live, 0);
        EXPECT_TRUE(c == nullptr);
        EXPECT_THROW(c(0), std::bad_function_call);

        function_t d(Adder{counted_t(live), 40});
        d = std::move(d); // self-move keeps it
        EXPECT_EQ(d(0), 40);
    }
    EXPECT_EQ(*live, 0);
}

TEST(SmallFunction, InlineCallablesAreDestroyedOnce) { every_callable_destroyed_once<small_adder_t>(); }

TEST(SmallFunction, HeapCallablesAreDestroyedOnce) { every_callable_destroyed_once<large_adder_t>(); }

TEST(SmallFunction, EmptySourcesGiveEmptyWrappers)
{
    EXPECT_FALSE(function_t());
    EXPECT_FALSE(function_t(nullptr));
    EXPECT_FALSE(function_t(std::function<int(int)>()));
    int (*none)(int) = nullptr;
    EXPECT_FALSE(function_t(none));

    const std::function<int(int)> doubler = [](int x) { return 2 * x; };
    const function_t copied(doubler); // a copy; the source stays usable
    EXPECT_EQ(copied(4), 8);
    EXPECT_EQ(doubler(5), 10);
}

TEST(SmallFunction, MutableStateStaysWithTheCallable)
{
    small_function_t<int()> counter = [n = 0]() mutable { return ++n; };
    EXPECT_EQ(counter(), 1);
    EXPECT_EQ(counter(), 2);
    small_function_t<int()> moved = std::move(counter);
    EXPECT_EQ(moved(), 3);

    // Move-only captures, which std::function cannot hold.
    small_function_t<std::string()> owner = [text = std::make_unique<std::string>("kept")] { return *text; };
    EXPECT_EQ(owner(), "kept");
}

}  // namespace
}  // namespace nv

// The ordered pipeline on items whose work takes uneven times: the stages
// take them in order, at most `slots` are in flight, the earliest error ends
// the run at its item, and a stop lets the item in hand through every stage.
#include "ordered_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace ulk::frontend;

namespace {

constexpr long kItems = 40;
constexpr long kEventAt = 7;

struct Item {
    long value = -1;
    long square = -1;
};

// What ends the run early, at item kEventAt.
enum class Event { None, ProduceFails, WorkFails, LastStageFails, Stop };
const char* const kEventNames[] = {"None", "ProduceFails", "WorkFails",
                                   "LastStageFails", "Stop"};

// workers, slots, later stages, slot held for the next item; the event.
using Case = std::tuple<std::tuple<int, int, int, bool>, Event>;

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    const auto [shape, event] = info.param;
    const auto [workers, slots, laterStages, hold] = shape;
    return std::to_string(workers) + "workers" + std::to_string(slots) +
           "slots" + std::to_string(laterStages) + "later" +
           (hold ? "Held" : "") + kEventNames[static_cast<int>(event)];
}

class OrderedPipelineRun : public ::testing::TestWithParam<Case> {};

TEST_P(OrderedPipelineRun, TakesItemsInOrderUpToTheEventAndBoundsThem)
{
    const auto [shape, event] = GetParam();
    const auto [workers, slots, laterStages, hold] = shape;
    OrderedPipeline<Item> pipeline({workers, slots, hold});
    std::vector<std::vector<long>> taken(laterStages + 1); // per stage
    std::atomic<int> inFlight{0}, most{0};
    std::atomic<long> wrong{0}; // items seen wrong, or a stop that waited
    // At a stop the work of the next item lasts until the first stage is
    // out: the stop must not wait for it.
    std::promise<void> out;
    std::shared_future<void> firstStageOut = out.get_future().share();
    // Item kEventAt + 2 fails too, and sooner: the earlier item still wins.
    auto failAt = [&](Event where, long index) {
        if (event == where && (index == kEventAt || index == kEventAt + 2))
            throw std::runtime_error(std::to_string(index));
    };
    auto produce = [&](long index, Item& item) {
        failAt(Event::ProduceFails, index);
        if (index == kItems)
            return false;
        item.value = index;
        const int now = ++inFlight;
        for (int m = most; now > m && !most.compare_exchange_weak(m, now);)
            ;
        return true;
    };
    auto work = [&](long index, Item& item, int) {
        const long us = (index * 2654435761L) % 400 +
                        (index == kEventAt && event == Event::WorkFails) * 3000;
        std::this_thread::sleep_for(std::chrono::microseconds(us));
        if (hold && index > 0) {
            const Item& before = pipeline.slotOf(index - 1);
            wrong += before.value != index - 1;
            wrong += pipeline.waitWorked(index - 1) &&
                     before.square != (index - 1) * (index - 1);
        }
        if (event == Event::Stop && index == kEventAt + 1)
            wrong += firstStageOut.wait_for(std::chrono::seconds(2)) !=
                     std::future_status::ready;
        failAt(Event::WorkFails, index);
        item.square = index * index;
    };
    // The last stage (the first when it is the only one) may fail.
    auto take = [&](std::size_t stage, Item& item) {
        const bool last = stage + 1 == taken.size();
        if (last)
            failAt(Event::LastStageFails, item.value);
        taken[stage].push_back(item.value);
        wrong += item.square != item.value * item.value;
        inFlight -= last;
    };
    std::vector<OrderedPipeline<Item>::Stage> stages;
    for (std::size_t s = 1; s < taken.size(); ++s)
        stages.push_back([&, s](long, Item& item) { take(s, item); });
    pipeline.start(produce, work, stages);
    std::string thrown;
    try {
        while (Item* item = pipeline.next()) {
            take(0, *item);
            if (event == Event::Stop && item->value == kEventAt)
                pipeline.stop();
            // Leaving with the item passed: finish() reports its failure.
            if (event == Event::LastStageFails && item->value == kEventAt) {
                pipeline.pass();
                break;
            }
        }
        out.set_value();
        pipeline.finish();
    } catch (const std::runtime_error& e) {
        thrown = e.what();
    }

    const bool fails = event != Event::None && event != Event::Stop;
    EXPECT_EQ(thrown, fails ? std::to_string(kEventAt) : "");
    for (int s = 0; s <= laterStages; ++s) {
        // Stages before the failing last one also take the failing item;
        // at a stop every stage takes the item in hand.
        long count = event == Event::None ? kItems : kEventAt;
        if (event == Event::Stop ||
            (event == Event::LastStageFails && s < laterStages))
            ++count;
        std::vector<long> expected(static_cast<std::size_t>(count));
        std::iota(expected.begin(), expected.end(), 0L);
        EXPECT_EQ(taken[static_cast<std::size_t>(s)], expected)
            << "stage " << s;
    }
    EXPECT_LE(most.load(), slots);
    EXPECT_EQ(wrong.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, OrderedPipelineRun,
    ::testing::Combine(::testing::Values(std::make_tuple(1, 2, 0, false),
                                         std::make_tuple(1, 3, 1, true),
                                         std::make_tuple(3, 5, 1, false),
                                         std::make_tuple(2, 4, 2, true),
                                         std::make_tuple(4, 6, 2, false)),
                       ::testing::Values(Event::None, Event::ProduceFails,
                                         Event::WorkFails,
                                         Event::LastStageFails, Event::Stop)),
    caseName);

} // namespace

// The pipeline both front ends run their frames through: one producer
// makes the items in order on a thread of its own, workers process them in
// any order, and ordered stages take them back in order: the first on the
// calling thread (next, pass), each later one on a thread of its own, one
// after the other.
//
// Item n (counted from 0) lives in slot n % slots from its production until
// the last stage is done with it, so a slot's buffers are allocated once
// and serve every item that passes through it. The first stage takes an
// item only when every later stage is done with the one before it, so that
// the stages stop at the same item as one loop doing them in turn would.
//
// An exception thrown by the producer, a worker or a later stage ends the
// run at its item: the items before it pass every stage, no stage takes an
// item after it, and it is rethrown on the calling thread by next() or
// finish(); of several, the one of the earliest item wins. stop() ends the
// run after the item the first stage holds, which the later stages finish.
#ifndef ULK_FRONTEND_ORDERED_PIPELINE_H
#define ULK_FRONTEND_ORDERED_PIPELINE_H

#include <climits>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace ulk::frontend {

struct PipelineLayout {
    int workers = 1; // threads that run the work
    int slots = 2;   // items from production to the last stage, at most
    // An item's slot stays until the next item's work is done, so that the
    // work of item n may read item n - 1 (slotOf).
    bool holdForNext = false;
};

template <class Slot> class OrderedPipeline {
  public:
    // Called on the producer's thread, in item order: fills the slot of
    // item `index`; false when there is no such item (the end).
    using Produce = std::function<bool(long index, Slot& slot)>;
    // Called on worker thread `worker` (from 0), for items in any order.
    using Work = std::function<void(long index, Slot& slot, int worker)>;
    // A later ordered stage, called on its own thread in item order.
    using Stage = std::function<void(long index, Slot& slot)>;

    // Calling thread: makes the slots, each as Slot(slotArgs...).
    template <class... Args>
    explicit OrderedPipeline(const PipelineLayout& layout,
                             const Args&... slotArgs)
        : layout_(layout), done_(1, 0), over_(1, false)
    {
        for (int i = 0; i < layout.slots; ++i)
            entries_.emplace_back(slotArgs...);
    }

    // Calling thread: ends the run at once unless finish() did, and waits
    // for every thread.
    ~OrderedPipeline()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = stopped_ = true;
        }
        changed_.notify_all();
        joinAll();
    }

    OrderedPipeline(const OrderedPipeline&) = delete;
    OrderedPipeline& operator=(const OrderedPipeline&) = delete;

    // Calling thread, once: starts the producer's thread, the workers and a
    // thread for each later stage, in the order given.
    void start(Produce produce, Work work, std::vector<Stage> laterStages = {})
    {
        produce_ = std::move(produce);
        work_ = std::move(work);
        stages_ = std::move(laterStages);
        done_.assign(stages_.size() + 1, 0);
        over_.assign(stages_.size() + 1, false);
        threads_.emplace_back([this] { runProducer(); });
        for (int w = 0; w < layout_.workers; ++w)
            threads_.emplace_back([this, w] { runWorker(w); });
        for (std::size_t s = 1; s <= stages_.size(); ++s)
            threads_.emplace_back([this, s] { runStage(s); });
    }

    // Calling thread, the first stage: passes the item in hand on, then
    // waits for the next one to be worked and the one before it to leave
    // the last stage. Returns its slot, or null at the end of the items and
    // after stop(); rethrows the error that ends the run at that item.
    Slot* next()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (inHand_)
            passLocked();
        changed_.notify_all();
        const long i = done_[0];
        changed_.wait(lock, [&] {
            return stopped_ || errorIndex_ < i ||
                   (done_.back() >= i &&
                    (i >= end_ || errorIndex_ == i || isWorked(i)));
        });
        if (stopped_)
            return nullptr;
        if (errorIndex_ <= i) {
            errorThrown_ = true;
            std::rethrow_exception(error_);
        }
        if (i >= end_)
            return nullptr;
        inHand_ = true;
        return &entry(i).value;
    }

    // Calling thread: hands the item in hand on to the later stages.
    void pass()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (inHand_)
                passLocked();
        }
        changed_.notify_all();
    }

    // Calling thread, last: stops the producer and the workers, lets the
    // later stages finish every item passed and waits for every thread.
    // Rethrows a later stage's error that next() has not.
    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inHand_ = false;
            stopped_ = true;
            over_[0] = true;
        }
        changed_.notify_all();
        joinAll();
        std::lock_guard<std::mutex> lock(mutex_);
        if (errorIndex_ < done_[0] && !errorThrown_) {
            errorThrown_ = true;
            std::rethrow_exception(error_);
        }
    }

    // Any thread: the first stage takes no item after the one it holds, and
    // the producer and the workers start none.
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

    // A worker, in the work of a later item: waits until the work of item
    // `index` is over. False when that item will not reach the first stage
    // (the run stops or ends before it), so the rest may be skipped.
    bool waitWorked(long index)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
            return stopped_ || errorIndex_ <= index || isWorked(index);
        });
        return !stopped_ && errorIndex_ > index;
    }

    // A worker, in the work of item index + 1 with holdForNext: the slot of
    // item index.
    Slot& slotOf(long index) { return entry(index).value; }

  private:
    // The life of a slot: Free, Producing, Produced, Working, Worked, then
    // Free again once consumed; Ended holds the end of the items.
    enum class Phase { Producing, Produced, Working, Worked, Ended, Free };

    struct Entry {
        template <class... Args>
        explicit Entry(const Args&... args) : value(args...)
        {
        }
        Slot value;
        long item = -1; // the item held, or last held
        Phase phase = Phase::Free;
        bool consumed = false;   // the last stage is done with it
        bool nextWorked = false; // the next item's work is over
    };

    Entry& entry(long index)
    {
        return entries_[static_cast<std::size_t>(index % layout_.slots)];
    }

    // With the mutex held: the work of item index is over (its slot may
    // hold a later item by now).
    bool isWorked(long index)
    {
        const Entry& e = entry(index);
        return e.item > index || (e.item == index && e.phase >= Phase::Worked);
    }

    // Runs f and returns what it threw.
    template <class F> static std::exception_ptr attempt(F&& f)
    {
        try {
            f();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }

    // With the mutex held: the earliest failing item's error is kept.
    void fail(long index, std::exception_ptr error)
    {
        if (index < errorIndex_) {
            errorIndex_ = index;
            error_ = std::move(error);
        }
    }

    // With the mutex held: frees a slot once nobody needs it any more.
    void freeIfDone(Entry& e)
    {
        if (e.consumed && (e.nextWorked || !layout_.holdForNext))
            e.phase = Phase::Free;
    }

    // With the mutex held: item index no longer holds the slot of the one
    // before it.
    void releasePrevious(long index)
    {
        if (!layout_.holdForNext || index == 0)
            return;
        Entry& before = entry(index - 1);
        before.nextWorked = true;
        freeIfDone(before);
    }

    // With the mutex held: stage s (0 is the first) is done with item index.
    void markDone(std::size_t s, long index)
    {
        done_[s] = index + 1;
        if (s + 1 < done_.size())
            return;
        Entry& e = entry(index);
        e.consumed = true;
        freeIfDone(e);
    }

    void passLocked()
    {
        inHand_ = false;
        markDone(0, done_[0]);
    }

    void runProducer()
    {
        for (long p = 0;; ++p) {
            Entry& e = entry(p);
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stopped_ || errorIndex_ != kNone ||
                           e.phase == Phase::Free;
                });
                if (stopped_ || errorIndex_ != kNone) {
                    end_ = p;
                    changed_.notify_all();
                    return;
                }
                e.item = p;
                e.phase = Phase::Producing;
                e.consumed = e.nextWorked = false;
            }
            bool more = false;
            std::exception_ptr error =
                attempt([&] { more = produce_(p, e.value); });
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (error)
                    fail(p, error);
                if (more && !error) {
                    e.phase = Phase::Produced;
                } else {
                    e.phase = Phase::Ended;
                    end_ = p;
                    releasePrevious(p);
                }
            }
            changed_.notify_all();
            if (!more || error)
                return;
        }
    }

    void runWorker(int worker)
    {
        for (;;) {
            long i = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                auto over = [&] {
                    return stopped_ || nextWork_ >= end_ ||
                           errorIndex_ <= nextWork_;
                };
                changed_.wait(lock, [&] {
                    return over() ||
                           (entry(nextWork_).item == nextWork_ &&
                            entry(nextWork_).phase == Phase::Produced);
                });
                if (over())
                    return;
                i = nextWork_++;
                entry(i).phase = Phase::Working;
            }
            std::exception_ptr error =
                attempt([&] { work_(i, entry(i).value, worker); });
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (error)
                    fail(i, error);
                entry(i).phase = Phase::Worked;
                releasePrevious(i);
            }
            changed_.notify_all();
        }
    }

    // Later stage s (from 1) takes what stage s - 1 is done with.
    void runStage(std::size_t s)
    {
        for (long i = 0;; ++i) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                auto over = [&] {
                    return closing_ || errorIndex_ <= i ||
                           (over_[s - 1] && done_[s - 1] <= i);
                };
                changed_.wait(lock, [&] { return over() || done_[s - 1] > i; });
                if (over()) {
                    over_[s] = true;
                    changed_.notify_all();
                    return;
                }
            }
            std::exception_ptr error =
                attempt([&] { stages_[s - 1](i, entry(i).value); });
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (error)
                    fail(i, error);
                else
                    markDone(s, i);
            }
            changed_.notify_all();
        }
    }

    void joinAll()
    {
        for (std::thread& thread : threads_)
            if (thread.joinable())
                thread.join();
    }

    static constexpr long kNone = LONG_MAX;

    const PipelineLayout layout_;
    std::deque<Entry> entries_;
    Produce produce_;
    Work work_;
    std::vector<Stage> stages_;
    std::vector<std::thread> threads_;

    std::mutex mutex_;
    std::condition_variable changed_;
    long end_ = kNone;       // the item after the last one, once known
    long nextWork_ = 0;      // the next item a worker takes
    std::vector<long> done_; // per stage: every item before this is done
    std::vector<bool> over_; // per stage: it takes no more items
    bool inHand_ = false;    // the first stage holds item done_[0]
    bool stopped_ = false;   // nothing new is started
    bool closing_ = false;   // every thread ends at once
    long errorIndex_ = kNone;
    std::exception_ptr error_;
    bool errorThrown_ = false;
};

} // namespace ulk::frontend

#endif

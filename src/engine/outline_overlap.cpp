// The scan hands segments over once its writes hardly ever reach them any
// more: their rows, and the row below, lie above a line that follows the
// scan `lag` rows behind. The rows above the line are copied as the
// line moves down, and the handed-over segments are walked on the copy, so
// that the walking stripe never reads what the scan may still write. A
// write of a segment's label above the line, or into a segment already
// handed over, makes that segment stale: its walk, if made, is dropped and
// made again at the end on the final map.
#include "engine/outline_overlap.h"

#include <opencv2/core/utility.hpp>

#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ulk {

namespace {

// Most segments that one scan can make.
const int kMostSegments = kMaxSegmentLabel - kFirstLabelCounter;

// Segments handed over between two wake-ups of a waiting walker: a walker
// that is awake takes each row's segments as they come, and waking it for
// every row would cost the scan a system call per row.
const int kWakeBatch = 64;

// Where the scan stands, as the walking stripe sees it.
enum ScanState { kNotStarted = 0, kScanning, kScanDone };

class OutlineOverlap final : public SegmentationListener {
  public:
    // eager: every segment is walked on the scanning thread as soon as it
    // is handed over, instead of by the walking stripe.
    OutlineOverlap(const CvMat* labelMap, unsigned short* snapshot, int lag,
                   bool eager,
                   std::function<void(int, SegmentOutline*)> eachOutline)
        : labelMap_(labelMap), lag_(lag > 0 ? lag : 1), eager_(eager),
          eachOutline_(std::move(eachOutline)), snapshot_(snapshot),
          lastRowHead_(size_t(labelMap->rows), -1),
          handedOver_(new HandedOver[size_t(kMostSegments)])
    {
        cvInitMatHeader(&snapshotMap_, labelMap->rows, labelMap->cols, CV_16UC1,
                        snapshot);
    }
    ~OutlineOverlap()
    {
        if (eagerScratch_)
            cvReleaseMemStorage(&eagerScratch_);
    }

    // The scanning stripe: segmentRegions with this as its listener.
    int scan(CvMat* markMap, const unsigned char* grey, CvMemStorage* storage,
             CvSeq* segments)
    {
        state_.store(kScanning, std::memory_order_release);
        // The walking stripe stops however the scan ends.
        struct Finish {
            OutlineOverlap* overlap;
            ~Finish() { overlap->setState(kScanDone); }
        } finish{this};
        return segmentRegions(const_cast<CvMat*>(labelMap_), markMap, grey,
                              storage, segments, kFirstLabelCounter, this);
    }

    // The walking stripe: walks handed-over segments until the scan ends.
    // It does nothing when the scan has not started (a single thread runs
    // the stripes one after the other) or is over: the walks left are made
    // at the end, on every thread.
    void walkHandedOver()
    {
        if (state_.load(std::memory_order_acquire) != kScanning)
            return;
        CvMemStorage* scratch = nullptr;
        try {
            scratch = cvCreateMemStorage(0);
            int next = 0;
            for (;;) {
                if (next < handedCount_.load(std::memory_order_acquire)) {
                    walk(handedOver_[size_t(next++)], scratch);
                    continue;
                }
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] {
                    return handedCount_.load(std::memory_order_relaxed) >
                               next ||
                           state_.load(std::memory_order_relaxed) == kScanDone;
                });
                if (state_.load(std::memory_order_relaxed) == kScanDone)
                    break;
            }
        } catch (...) {
            // A failed walk (no memory) is made again at the end, where its
            // failure is reported; the walks made so far are whole.
        }
        if (scratch)
            cvReleaseMemStorage(&scratch);
    }

    // After both stripes: the walks that still hold, by segment index.
    void collect(int segmentCount, SegmentOutlines* outlines)
    {
        outlines->outline.resize(size_t(segmentCount));
        outlines->walked.assign(size_t(segmentCount), 0);
        for (Walked& w : walked_) {
            if (segments_[size_t(w.index)].stale)
                continue;
            outlines->outline[size_t(w.index)] = std::move(w.outline);
            outlines->walked[size_t(w.index)] = 1;
        }
    }

    void newSegment(int label, int x, int y) override
    {
        (void)label;
        segments_.push_back({x, y, -1, false, false});
    }

    void wrote(int value, int minRow, int maxRow) override
    {
        if (value <= kFirstLabelCounter)
            return; // a grey level (or 0), not a segment
        const int index = value - kFirstLabelCounter - 1;
        assert(size_t(index) < segments_.size());
        Segment& s = segments_[size_t(index)];
        if (s.handedOver || minRow < copiedRows_) {
            s.stale = true;
            return;
        }
        if (maxRow > s.lastRow) {
            s.lastRow = maxRow;
            bucket_.push_back({index, lastRowHead_[size_t(maxRow)]});
            lastRowHead_[size_t(maxRow)] = int(bucket_.size()) - 1;
        }
    }

    void rowDone(int y) override
    {
        const int line = y + 1 - lag_;
        if (line <= copiedRows_)
            return;
        const size_t cols = size_t(labelMap_->cols);
        const unsigned short* rows =
            reinterpret_cast<const unsigned short*>(labelMap_->data.ptr);
        std::memcpy(snapshot_ + size_t(copiedRows_) * cols,
                    rows + size_t(copiedRows_) * cols,
                    size_t(line - copiedRows_) * cols * sizeof(*snapshot_));
        copiedRows_ = line;

        // Segments whose last row lies at least two rows above the line:
        // their walks read up to the row below it.
        const int before = handed_;
        for (; handedRows_ + 1 < line; ++handedRows_) {
            for (int e = lastRowHead_[size_t(handedRows_)]; e >= 0;
                 e = bucket_[size_t(e)].next) {
                const int index = bucket_[size_t(e)].segment;
                Segment& s = segments_[size_t(index)];
                if (s.stale || s.handedOver || s.lastRow != handedRows_)
                    continue;
                s.handedOver = true;
                handedOver_[size_t(handed_++)] = {index, s.x, s.y};
            }
        }
        if (handed_ == before)
            return;
        if (eager_) {
            if (!eagerScratch_)
                eagerScratch_ = cvCreateMemStorage(0);
            for (int i = before; i < handed_; ++i)
                walk(handedOver_[size_t(i)], eagerScratch_);
            return;
        }
        handedCount_.store(handed_, std::memory_order_release);
        if (handed_ - woken_ < kWakeBatch)
            return;
        woken_ = handed_;
        {
            // Taken between the store and the wake-up, so that a walker
            // about to wait sees the new count or hears the wake-up.
            std::lock_guard<std::mutex> lock(mutex_);
        }
        wake_.notify_one();
    }

  private:
    struct Segment {
        int x, y;    // start point
        int lastRow; // greatest row written with its label so far
        bool stale;  // written above the copy or after its hand-over
        bool handedOver;
    };
    struct BucketEntry {
        int segment;
        int next; // the previous entry of the same last row, or -1
    };
    struct HandedOver {
        int index, x, y;
    };
    struct Walked {
        int index;
        SegmentOutline outline;
    };

    // Walks a handed-over segment on the copy.
    void walk(const HandedOver& h, CvMemStorage* scratch)
    {
        Walked walked;
        walked.index = h.index;
        outlineSegment(&snapshotMap_, h.x, h.y, scratch, &walked.outline);
        if (eachOutline_)
            eachOutline_(h.index, &walked.outline);
        walked_.push_back(std::move(walked));
    }

    void setState(ScanState state)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.store(state, std::memory_order_release);
        }
        wake_.notify_one();
    }

    const CvMat* labelMap_;
    const int lag_;
    const bool eager_;
    const std::function<void(int, SegmentOutline*)> eachOutline_;
    CvMemStorage* eagerScratch_ = nullptr;
    unsigned short* snapshot_;
    CvMat snapshotMap_;

    // The scanning stripe's own.
    std::vector<Segment> segments_; // by segment index
    std::vector<BucketEntry> bucket_;
    std::vector<int> lastRowHead_; // per row: latest entry, or -1
    int copiedRows_ = 0;           // rows [0, copiedRows_) are copied
    int handedRows_ = 0;           // last rows below this are handed over
    int handed_ = 0;
    int woken_ = 0; // handed_ when the walker was last woken

    // Shared: written by the scan before handedCount_ is raised.
    std::unique_ptr<HandedOver[]> handedOver_;
    std::atomic<int> handedCount_{0};
    std::atomic<int> state_{kNotStarted};
    std::mutex mutex_;
    std::condition_variable wake_;

    // The walking stripe's own until both stripes are over.
    std::vector<Walked> walked_;
};

} // namespace

int segmentWithOutlines(CvMat* labelMap, CvMat* markMap,
                        const unsigned char* grey, CvMemStorage* storage,
                        CvSeq* segments, unsigned short* snapshot,
                        SegmentOutlines* outlines, const BesideScan& beside,
                        int lag)
{
    // Segment i has label kFirstLabelCounter + 1 + i.
    assert(segments->total == 0);
    outlines->outline.clear();
    outlines->walked.clear();
    if (snapshot == nullptr || cv::getNumThreads() <= 1) {
        const int counter =
            segmentRegions(labelMap, markMap, grey, storage, segments);
        if (beside.first)
            beside.first();
        outlines->outline.resize(size_t(segments->total));
        outlines->walked.assign(size_t(segments->total), 0);
        return counter;
    }

    OutlineOverlap overlap(labelMap, snapshot, lag, false, beside.eachOutline);
    int counter = kFirstLabelCounter;
    // Failures reach the caller as they were raised, the scan's first.
    std::exception_ptr failure, besideFailure;
    cv::parallel_for_(
        cv::Range(0, 2),
        [&](const cv::Range& stripes) {
            for (int stripe = stripes.start; stripe < stripes.end; ++stripe) {
                if (stripe == 0) {
                    try {
                        counter =
                            overlap.scan(markMap, grey, storage, segments);
                    } catch (...) {
                        failure = std::current_exception();
                    }
                } else {
                    try {
                        if (beside.first)
                            beside.first();
                    } catch (...) {
                        besideFailure = std::current_exception();
                    }
                    // Work on each outline may read what `first` made.
                    if (!besideFailure)
                        overlap.walkHandedOver();
                }
            }
        },
        2.0);
    if (failure)
        std::rethrow_exception(failure);
    if (besideFailure)
        std::rethrow_exception(besideFailure);
    overlap.collect(segments->total, outlines);
    return counter;
}

int segmentWithEagerOutlines(CvMat* labelMap, CvMat* markMap,
                             const unsigned char* grey, CvMemStorage* storage,
                             CvSeq* segments, unsigned short* snapshot,
                             SegmentOutlines* outlines, int lag)
{
    OutlineOverlap overlap(labelMap, snapshot, lag, true, nullptr);
    const int counter = overlap.scan(markMap, grey, storage, segments);
    overlap.collect(segments->total, outlines);
    return counter;
}

} // namespace ulk

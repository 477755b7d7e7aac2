// Argument checks of cvCalcOpticalFlowULK, cvCalcOpticalFlowULKRefined and
// cvCalcOpticalFlowULKRefinedEx: the error of each check, their order, the
// refined entries' flags and settings checked last, and that a failed check
// changes nothing.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cvoptflowulk.h"
#include "refine/refine_params.h"
#include "support.h"

namespace {

const char* const kEx = "cvCalcOpticalFlowULKRefinedEx";

// The entry a call goes to: the engine's, or a refined one with flags (the
// Ex entry with the default record holding them).
struct Entry {
    const char* func;
    std::optional<int> flags;
};

const Entry kEngine{"cvCalcOpticalFlowULK", std::nullopt};
// Each entry with flags that pass their own check or fail it only after
// the arrays' checks.
const Entry kEntries[] = {
    kEngine,
    {"cvCalcOpticalFlowULKRefined", 0},
    {"cvCalcOpticalFlowULKRefined", CV_ULK_REFINED_DEFAULT},
    {"cvCalcOpticalFlowULKRefined", -1},
    {kEx, CV_ULK_REFINED_DEFAULT},
    {kEx, -1}};

std::string entryName(const Entry& entry)
{
    return std::string(entry.func) +
           (entry.flags ? ", flags " + std::to_string(*entry.flags) : "");
}
const char* const kSources = "Source images have different formats";
const char* const kTypes = "Source images must have 8uC1 type and "
                           "destination images must have 32fC1 type";
const char* const kStep = "source and destination images have different step";
const char* const kOverlap = "velx and vely must not overlap";
const char* const kTooSmall =
    "Storage block size %d is too small for this call: it needs at least %d";

// A 24-row array whose rows may be padded (a different row step).
cv::Mat arr(int type, int rows = 24, int cols = 32, int pad = 0)
{
    cv::Mat m(rows, cols + pad, type, cv::Scalar::all(3));
    return m.colRange(0, cols);
}

// srcA, srcB, velx, vely; `bad` replaces argument badSlot when >= 0.
struct Call {
    cv::Mat m[4] = {arr(CV_8UC1), arr(CV_8UC1), arr(CV_32FC1), arr(CV_32FC1)};
    CvMemStorage* storage = cvCreateMemStorage(0);
    StuffInfo info;
    Entry entry;
    // The Ex entry's record; with none, the default one with the entry's
    // flags. nullParams passes a null pointer instead.
    std::optional<CvULKRefineParams> params;
    bool nullParams = false;
    explicit Call(const Entry& to = kEngine) : entry(to)
    {
        cvMemStorageAlloc(storage, 1000); // an earlier call's contents
        std::memset(&info, 0xAB, sizeof(info));
    }
    ~Call() { cvReleaseMemStorage(&storage); }

    void run(bool nullStorage = false, int badSlot = -1, CvArr* bad = nullptr)
    {
        CvMat h[4];
        CvArr* args[4];
        for (int i = 0; i < 4; ++i) {
            h[i] = cvMat(m[i]);
            args[i] = i == badSlot ? bad : &h[i];
        }
        CvMemStorage* given = nullStorage ? nullptr : storage;
        if (std::strcmp(entry.func, kEx) == 0) {
            CvULKRefineParams record = cvULKRefineParams();
            record.flags = entry.flags.value_or(0);
            if (params)
                record = *params;
            cvCalcOpticalFlowULKRefinedEx(args[0], args[1], args[2], args[3],
                                          given, &info,
                                          nullParams ? nullptr : &record);
        } else if (entry.flags)
            cvCalcOpticalFlowULKRefined(args[0], args[1], args[2], args[3],
                                        given, &info, *entry.flags);
        else
            cvCalcOpticalFlowULK(args[0], args[1], args[2], args[3], given,
                                 &info);
    }
    // Expects the error and no change to outputs, storage and StuffInfo.
    void expectError(int code, const char* message, bool nullStorage = false,
                     int badSlot = -1, CvArr* bad = nullptr)
    {
        const cv::Mat velx = m[2].clone(), vely = m[3].clone();
        const CvMemBlock* top = storage->top;
        const int freeSpace = storage->free_space;
        StuffInfo before;
        std::memcpy(&before, &info, sizeof(info));
        EXPECT_CV_ERROR(run(nullStorage, badSlot, bad), code, entry.func,
                        message);
        EXPECT_EQ(cv::norm(m[2], velx, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(m[3], vely, cv::NORM_INF), 0.0);
        EXPECT_EQ(storage->top, top);
        EXPECT_EQ(storage->free_space, freeSpace);
        EXPECT_EQ(std::memcmp(&before, &info, sizeof(info)), 0);
    }
};

// Every argument, as a null pointer and as bytes that are no array; the
// conversions come before the storage test.
TEST(EntryChecks, ArrayThatIsNoArrayIsAnInnerFailure)
{
    char junk[sizeof(CvMat)] = {};
    for (const Entry& entry : kEntries) {
        for (int slot = 0; slot < 4; ++slot) {
            for (CvArr* bad :
                 {static_cast<CvArr*>(nullptr), static_cast<CvArr*>(junk)}) {
                SCOPED_TRACE(::testing::Message()
                             << entryName(entry) << ", argument " << slot + 1);
                Call c(entry);
                c.expectError(CV_StsBackTrace, "Inner function failed.",
                              slot == 3, slot, bad);
            }
        }
    }
}

TEST(EntryChecks, FirstFailingCheckReports)
{
    const int u8 = CV_8UC1, f32 = CV_32FC1;
    const cv::Mat shared = arr(f32);
    const cv::Mat paddedShared = arr(f32, 24, 32, 8);
    struct Case {
        const char* name;
        int slot[2]; // arguments replaced, -1 for none
        cv::Mat with[2];
        int code;
        const char* message;
    } cases[] = {
        // clang-format off
        {"no storage", {-1, -1}, {}, CV_StsNullPtr, "NULL storage pointer "},
        {"storage before formats", {1, -1}, {arr(CV_8UC3)}, CV_StsNullPtr,
         "NULL storage pointer "},
        {"formats before sizes", {1, -1}, {arr(CV_8UC3, 10, 12)},
         CV_StsUnmatchedFormats, kSources},
        {"sources before destinations", {0, 3}, {arr(CV_16UC1), arr(CV_32SC1)},
         CV_StsUnmatchedFormats, kSources},
        {"destination formats", {3, -1}, {arr(CV_32SC1)},
         CV_StsUnmatchedFormats, "Destination images have different formats"},
        {"rows of srcB", {1, -1}, {arr(u8, 20)}, CV_StsUnmatchedSizes, ""},
        {"cols of srcB", {1, -1}, {arr(u8, 24, 20)}, CV_StsUnmatchedSizes, ""},
        {"rows of vely", {3, -1}, {arr(f32, 20)}, CV_StsUnmatchedSizes, ""},
        {"cols of vely", {3, -1}, {arr(f32, 24, 20)}, CV_StsUnmatchedSizes, ""},
        {"rows of velx", {2, 3}, {arr(f32, 20), arr(f32, 20)},
         CV_StsUnmatchedSizes, ""},
        {"cols of velx", {2, 3}, {arr(f32, 24, 20), arr(f32, 24, 20)},
         CV_StsUnmatchedSizes, ""},
        {"cols of velx alone", {2, -1}, {arr(f32, 24, 20)},
         CV_StsUnmatchedSizes, ""},
        {"8UC3 sources", {0, 1}, {arr(CV_8UC3), arr(CV_8UC3)},
         CV_StsUnsupportedFormat, kTypes},
        {"32SC1 destinations", {2, 3}, {arr(CV_32SC1), arr(CV_32SC1)},
         CV_StsUnsupportedFormat, kTypes},
        {"types before steps", {0, 1}, {arr(CV_8UC3), arr(CV_8UC3, 24, 32, 8)},
         CV_StsUnsupportedFormat, kTypes},
        {"padded srcB", {1, -1}, {arr(u8, 24, 32, 8)}, CV_BadStep, kStep},
        {"padded vely", {3, -1}, {arr(f32, 24, 32, 8)}, CV_BadStep, kStep},
        {"sizes before overlap", {2, 3}, {shared, shared.rowRange(0, 20)},
         CV_StsUnmatchedSizes, ""},
        {"steps before overlap", {2, 3},
         {paddedShared, cv::Mat(24, 32, f32, paddedShared.data)}, CV_BadStep,
         kStep},
        {"velx is vely", {2, 3}, {shared, shared}, CV_StsBadArg, kOverlap},
        // clang-format on
    };
    for (const Entry& entry : kEntries) {
        for (const Case& k : cases) {
            SCOPED_TRACE(entryName(entry) + ": " + k.name);
            Call c(entry);
            for (int i = 0; i < 2; ++i)
                if (k.slot[i] >= 0)
                    c.m[k.slot[i]] = k.with[i];
            c.expectError(k.code, k.message, k.code == CV_StsNullPtr);
        }
    }
}

// The refined entry checks its flags last: any bit outside
// CV_ULK_REFINE_ALL is refused and changes nothing; every known one runs.
TEST(EntryChecks, UnknownRefinementFlagsAreRefused)
{
    for (const int flags : {16, int(CV_ULK_REFINE_ALL) + 1, 1 << 30, -1}) {
        SCOPED_TRACE(flags);
        Call c({"cvCalcOpticalFlowULKRefined", flags});
        c.expectError(CV_StsOutOfRange, "Unknown refinement flags");
    }
    for (const int flags : {0, 1, 2, 4, 8, int(CV_ULK_REFINE_ALL)}) {
        SCOPED_TRACE(flags);
        Call c({"cvCalcOpticalFlowULKRefined", flags});
        EXPECT_NO_THROW(c.run());
    }
}

// The Ex entry checks its record after the arrays: a null one, then each
// field in the record's order; the first field out of its range (NaN
// included) is reported and nothing changes. Each range's ends pass.
TEST(EntryChecks, RefineParamsOutOfRangeAreRefusedInTheRecordsOrder)
{
    {
        Call c({kEx, 0});
        c.nullParams = true;
        c.expectError(CV_StsNullPtr, "Null refinement parameters");
    }
    // The messages, in the record's order, written out here so that a
    // field's range in the library's table is checked too.
    const std::string messages[] = {"pyramidScale must lie in [0.5, 0.95]",
                                    "coarsestSide must lie in [4, 1024]",
                                    "finestScale must lie in [0.1, 1]",
                                    "alpha must lie in [0.01, 1000]",
                                    "delta must lie in [0, 1000]",
                                    "gamma must lie in [0, 1000]",
                                    "outerIterations must lie in [1, 100]",
                                    "innerIterations must lie in [1, 100]",
                                    "omega must lie in [1, 1.99]",
                                    "fuseScale must lie in [0, 1]"};
    ASSERT_EQ(ulk::kRefineFieldCount, int(std::size(messages)));
    for (int i = 0; i < ulk::kRefineFieldCount; ++i) {
        const ulk::RefineField& f = ulk::kRefineFields[i];
        SCOPED_TRACE(f.name);
        const double step = f.real ? 1e-3 : 1;
        std::vector<double> bad = {f.low - step, f.high + step};
        if (f.real)
            bad.push_back(std::nan(""));
        for (const double value : bad) {
            Call c({kEx, CV_ULK_REFINED_DEFAULT});
            c.params = cvULKRefineParams();
            f.set(&*c.params, value);
            // A later field out of range too: the earlier one is reported.
            if (i + 1 < ulk::kRefineFieldCount) {
                const ulk::RefineField& next = ulk::kRefineFields[i + 1];
                next.set(&*c.params, next.high + 5);
            }
            c.expectError(CV_StsOutOfRange, messages[i].c_str());
        }
        for (const double value : {f.low, f.high}) {
            Call c({kEx, CV_ULK_REFINED_DEFAULT});
            c.params = cvULKRefineParams();
            f.set(&*c.params, value);
            EXPECT_NO_THROW(c.run());
        }
    }
    // Unknown flags come before the fields.
    Call c({kEx, 0});
    c.params = cvULKRefineParams();
    c.params->flags = 64;
    c.params->alpha = -1;
    c.expectError(CV_StsOutOfRange, "Unknown refinement flags");
}

// Storage blocks too small for the call's largest piece, a sequence header
// or the IdxMap, are refused and left alone.
TEST(EntryChecks, StorageBlocksTooSmallForTheCallAreRefused)
{
    for (const auto& [size, entry] :
         {std::pair(cv::Size(8, 6), kEngine),
          std::pair(cv::Size(32, 24), kEntries[2])}) {
        const int least = std::max(size.area() * 2, int(sizeof(CvSeq))) +
                          int(sizeof(CvMemBlock));
        for (const int block : {1, 8, 64, 100, least - 8, least}) {
            Call c(entry);
            cvReleaseMemStorage(&c.storage);
            c.storage = cvCreateMemStorage(block);
            for (cv::Mat& m : c.m)
                m = m(cv::Rect(cv::Point(), size));
            if (block < least)
                c.expectError(
                    CV_StsOutOfRange,
                    cv::format(kTooSmall, c.storage->block_size, least)
                        .c_str());
            else
                EXPECT_NO_THROW(c.run());
        }
    }
}

// Velocity maps that share an element are refused, wherever they meet;
// views of one buffer that share none are fine, and so are equal sources.
struct OverlapCase {
    const char* name;
    int rowX, colX, rowY, colY; // top-left corners in a 64 x 80 buffer
    bool overlap;
};

void PrintTo(const OverlapCase& c, std::ostream* os)
{
    *os << c.name;
}

class EntryOverlap : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(EntryOverlap, VelocityMapsMustNotShareAnElement)
{
    const OverlapCase& k = GetParam();
    cv::Mat buffer(64, 80, CV_32FC1, cv::Scalar(3));
    Call c;
    c.m[0] = c.m[1]; // a source equal to the other source is allowed
    c.m[2] = buffer(cv::Rect(k.colX, k.rowX, 32, 24));
    c.m[3] = buffer(cv::Rect(k.colY, k.rowY, 32, 24));
    if (k.overlap) {
        c.expectError(CV_StsBadArg, kOverlap);
    } else {
        EXPECT_NO_THROW(c.run());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Views, EntryOverlap,
    ::testing::Values(OverlapCase{"same view", 0, 0, 0, 0, true},
                      OverlapCase{"one row down", 0, 0, 1, 0, true},
                      OverlapCase{"one column right", 0, 0, 0, 1, true},
                      OverlapCase{"last element only", 0, 0, 23, 31, true},
                      OverlapCase{"first element only", 23, 31, 0, 0, true},
                      OverlapCase{"side by side", 0, 0, 0, 32, false},
                      OverlapCase{"below", 0, 0, 24, 0, false},
                      OverlapCase{"below and right", 0, 0, 5, 40, false},
                      OverlapCase{"rows interleaved", 0, 48, 1, 0, false}),
    [](const ::testing::TestParamInfo<OverlapCase>& info) {
        return paramName(info.param.name);
    });

// Padded sources with unpadded destinations: a source step is never
// compared with a destination step.
TEST(EntryChecks, SourceAndDestinationStepsMayDiffer)
{
    Call c;
    c.m[0] = arr(CV_8UC1, 24, 32, 8);
    c.m[1] = arr(CV_8UC1, 24, 32, 8);
    EXPECT_NO_THROW(c.run());
    EXPECT_EQ(c.info.idxMap.rows, 24);
    EXPECT_EQ(c.info.idxMap.cols, 32);
}

} // namespace

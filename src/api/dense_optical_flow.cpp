// cv::optflow::OptFlowULK: the C entry behind OpenCV's dense-flow interface,
// with the storage and buffers that the C caller would otherwise manage.
#include "api/errors.h"
#include "cvoptflowulk.hpp"
#include "refine/refine_params.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>

namespace cv {
namespace optflow {
namespace {

const char* const kFuncName = "cv::optflow::OptFlowULK::calc";
const char* const kCollectName = "cv::optflow::OptFlowULK::collectGarbage";
const char* const kSetRefinementsName =
    "cv::optflow::OptFlowULK::setRefinements";
const char* const kSetRefineParamsName =
    "cv::optflow::OptFlowULK::setRefineParams";
const char* const kInUse = "the object is in use by another call";
// Room the storage needs beside the IdxMap for its own block header when
// the map is allocated in it.
constexpr std::size_t kBlockSlack = 256;
// Alignment of allocations inside a memory storage.
constexpr std::size_t kStorageAlign = 8;
// The storage's own default block size (cvCreateMemStorage(0)): blocks are
// never made smaller, so that small frames keep their sequences in few
// blocks.
constexpr std::size_t kDefaultBlock = (1 << 16) - 128;

// Block size of a storage that can hold the IdxMap of a rows x cols frame
// in one piece.
int storageBlockFor(int rows, int cols)
{
    const std::size_t map =
        static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * 2;
    const std::size_t needed =
        (map + kStorageAlign - 1) / kStorageAlign * kStorageAlign +
        sizeof(CvMemBlock) + kBlockSlack;
    const std::size_t block = std::max(needed, kDefaultBlock);
    return static_cast<int>(std::min(block, static_cast<std::size_t>(INT_MAX)));
}

// The object held by one call until the claim ends: calls that overlap
// would share the storage and the buffers.
class CallClaim {
  public:
    explicit CallClaim(std::atomic<bool>* busy)
        : busy_(busy->exchange(true, std::memory_order_acquire) ? nullptr
                                                                : busy)
    {
    }
    ~CallClaim()
    {
        if (busy_)
            busy_->store(false, std::memory_order_release);
    }
    CallClaim(const CallClaim&) = delete;
    CallClaim& operator=(const CallClaim&) = delete;
    // False when another call held the object already.
    bool held() const { return busy_ != nullptr; }

  private:
    std::atomic<bool>* busy_;
};

class OptFlowULKImpl final : public OptFlowULK {
  public:
    OptFlowULKImpl() = default;
    ~OptFlowULKImpl() override { releaseStorage(); }
    OptFlowULKImpl(const OptFlowULKImpl&) = delete;
    OptFlowULKImpl& operator=(const OptFlowULKImpl&) = delete;

    // The defaults of the refined mode with no refinement selected.
    static CvULKRefineParams unrefined()
    {
        CvULKRefineParams params = cvULKRefineParams();
        params.flags = 0;
        return params;
    }

    void calc(InputArray I0, InputArray I1, InputOutputArray flow) override
    {
        compute(I0, I1, flow, nullptr);
    }

    const StuffInfo& calcWithStuffInfo(InputArray I0, InputArray I1,
                                       InputOutputArray flow) override
    {
        compute(I0, I1, flow, &info_);
        return info_;
    }

    void collectGarbage() override
    {
        const CallClaim claim(&busy_);
        if (!claim.held()) {
            ULK_RAISE(CV_StsBadArg, kCollectName, kInUse);
            return;
        }
        releaseStorage();
        greyA_.release();
        greyB_.release();
        velx_.release();
        vely_.release();
        cvReleaseOpticalFlowULKBuffers();
    }

    void setRefinements(int flags) override
    {
        if ((flags & ~CV_ULK_REFINE_ALL) != 0) {
            ULK_RAISE(CV_StsOutOfRange, kSetRefinementsName,
                      "Unknown refinement flags");
            return;
        }
        const std::lock_guard<std::mutex> lock(paramsMutex_);
        params_.flags = flags;
    }

    int getRefinements() const override
    {
        const std::lock_guard<std::mutex> lock(paramsMutex_);
        return params_.flags;
    }

    void setRefineParams(const CvULKRefineParams& params) override
    {
        const std::string problem = ulk::refineParamsProblem(params);
        if (!problem.empty()) {
            ULK_RAISE(CV_StsOutOfRange, kSetRefineParamsName, problem.c_str());
            return;
        }
        const std::lock_guard<std::mutex> lock(paramsMutex_);
        params_ = params;
    }

    CvULKRefineParams getRefineParams() const override
    {
        const std::lock_guard<std::mutex> lock(paramsMutex_);
        return params_;
    }

    String getDefaultName() const override
    {
        return "DenseOpticalFlow.OptFlowULK";
    }

  private:
    void compute(InputArray I0, InputArray I1, InputOutputArray flow,
                 StuffInfo* info)
    {
        if (I0.empty()) {
            ULK_RAISE(CV_StsNullPtr, kFuncName, "The older frame is empty");
            return;
        }
        if (I1.empty()) {
            ULK_RAISE(CV_StsNullPtr, kFuncName, "The newer frame is empty");
            return;
        }
        if (I0.type() != I1.type()) {
            ULK_RAISE(CV_StsUnmatchedFormats, kFuncName,
                      "Source images have different formats");
            return;
        }
        if (I0.size() != I1.size()) {
            ULK_RAISE(CV_StsUnmatchedSizes, kFuncName,
                      "Source images have different sizes");
            return;
        }
        if (I0.type() != CV_8UC1 && I0.type() != CV_8UC3 &&
            I0.type() != CV_8UC4) {
            ULK_RAISE(CV_StsUnsupportedFormat, kFuncName,
                      "Source images must have 8uC1, 8uC3 or 8uC4 type");
            return;
        }
        const CallClaim claim(&busy_);
        if (!claim.held()) {
            ULK_RAISE(CV_StsBadArg, kFuncName, kInUse);
            return;
        }

        Mat a = greyFrame(I0, greyA_);
        Mat b = greyFrame(I1, greyB_);
        // The engine wants both frames with one row step.
        if (a.step != b.step) {
            a.copyTo(greyA_);
            b.copyTo(greyB_);
            a = greyA_;
            b = greyB_;
        }
        velx_.create(a.size(), CV_32FC1);
        vely_.create(a.size(), CV_32FC1);
        prepareStorage(a.rows, a.cols, info != nullptr);

        runEngine(a, b, info);

        Mat channels[] = {velx_, vely_};
        merge(channels, 2, flow);
    }

    // The one call into the engine. A choice between engine modes belongs
    // here, so that every way into the object takes it.
    void runEngine(const Mat& older, const Mat& newer, StuffInfo* info)
    {
        CvMat srcA = cvMat(older);
        CvMat srcB = cvMat(newer);
        CvMat vx = cvMat(velx_);
        CvMat vy = cvMat(vely_);
        const CvULKRefineParams params = getRefineParams();
        if (info)
            *info = StuffInfo{};
        if (params.flags == 0)
            cvCalcOpticalFlowULK(&srcA, &srcB, &vx, &vy, storage_, info);
        else
            cvCalcOpticalFlowULKRefinedEx(&srcA, &srcB, &vx, &vy, storage_,
                                          info, &params);
    }

    // The frame as grey: a grey frame as it is, a colour frame converted
    // into buffer the way the viewer converts it.
    static Mat greyFrame(InputArray frame, Mat& buffer)
    {
        switch (frame.type()) {
        case CV_8UC3:
            cvtColor(frame, buffer, COLOR_BGR2GRAY);
            return buffer;
        case CV_8UC4:
            cvtColor(frame, buffer, COLOR_BGRA2GRAY);
            return buffer;
        default:
            return frame.getMat();
        }
    }

    // A storage whose blocks can hold the IdxMap when the call keeps it,
    // made anew only when a larger frame needs larger blocks.
    void prepareStorage(int rows, int cols, bool withInfo)
    {
        const int block = withInfo ? storageBlockFor(rows, cols) : 0;
        if (storage_ && block > storage_->block_size)
            releaseStorage();
        if (!storage_)
            storage_ = cvCreateMemStorage(block);
    }

    void releaseStorage()
    {
        info_ = StuffInfo{};
        cvReleaseMemStorage(&storage_);
    }

    // Guarded, since the setters may run beside a call, which then reads
    // the settings once.
    mutable std::mutex paramsMutex_;
    CvULKRefineParams params_ = unrefined();
    // True while a call holds the object.
    std::atomic<bool> busy_{false};
    CvMemStorage* storage_ = nullptr;
    StuffInfo info_{};
    Mat greyA_;
    Mat greyB_;
    Mat velx_;
    Mat vely_;
};

} // namespace

Ptr<OptFlowULK> OptFlowULK::create()
{
    return makePtr<OptFlowULKImpl>();
}

Ptr<DenseOpticalFlow> createOptFlow_ULK()
{
    return OptFlowULK::create();
}

} // namespace optflow
} // namespace cv

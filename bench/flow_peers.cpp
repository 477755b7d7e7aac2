#include "flow_peers.h"

#include <opencv2/core/core_c.h>

#include <utility>

namespace ulk::bench {

// Room beyond the IdxMap in a StuffInfo storage block: the block header and
// the first sequences fit without a second block.
static const int kStorageHeadroom = 64 * 1024;

int ulkStorageBlockSize(cv::Size size)
{
    const int idxMapBytes = int(cv::alignSize(size.width * size.height * 2, 8));
    return idxMapBytes + kStorageHeadroom;
}

UlkFlow::UlkFlow(bool withStuffInfo, int refineFlags)
    : withStuffInfo_(withStuffInfo), refineFlags_(refineFlags)
{
}

UlkFlow::UlkFlow(const CvULKRefineParams& params, std::string name)
    : withStuffInfo_(false), refineFlags_(params.flags), haveParams_(true),
      params_(params), name_(std::move(name))
{
}

std::string ulkMethodName(int refineFlags)
{
    if (refineFlags == CV_ULK_REFINED_DEFAULT)
        return "ulk_refined";
    std::string name = "ulk";
    if (refineFlags & CV_ULK_REFINE_COARSE_TO_FINE)
        name += "+c2f";
    if (refineFlags & CV_ULK_REFINE_SUBPIXEL)
        name += "+subpixel";
    if (refineFlags & CV_ULK_REFINE_SEGMENT_SMOOTH)
        name += "+segsmooth";
    if (refineFlags & CV_ULK_REFINE_VARIATIONAL)
        name += "+variational";
    return name;
}

UlkFlow::~UlkFlow()
{
    if (storage_)
        cvReleaseMemStorage(&storage_);
}

std::string UlkFlow::name() const
{
    if (haveParams_)
        return name_;
    return ulkMethodName(refineFlags_) + (withStuffInfo_ ? "_stuffinfo" : "");
}

void UlkFlow::prepare(cv::Size size)
{
    if (storage_ && size == size_)
        return;
    if (storage_)
        cvReleaseMemStorage(&storage_);
    // Without a StuffInfo the engine puts only sequences in the storage, so
    // the library's default block size serves.
    storage_ =
        cvCreateMemStorage(withStuffInfo_ ? ulkStorageBlockSize(size) : 0);
    velx_.create(size, CV_32FC1);
    vely_.create(size, CV_32FC1);
    size_ = size;
}

void UlkFlow::run(const cv::Mat& older, const cv::Mat& newer)
{
    CV_Assert(older.type() == CV_8UC1 && newer.type() == CV_8UC1);
    CV_Assert(older.size() == newer.size());
    // The engine sets every element of the two maps itself.
    prepare(older.size());

    // The engine takes C headers; it only reads the sources.
    CvMat srcA;
    CvMat srcB;
    CvMat velx;
    CvMat vely;
    cvInitMatHeader(&srcA, older.rows, older.cols, CV_8UC1, older.data,
                    int(older.step));
    cvInitMatHeader(&srcB, newer.rows, newer.cols, CV_8UC1, newer.data,
                    int(newer.step));
    cvInitMatHeader(&velx, velx_.rows, velx_.cols, CV_32FC1, velx_.data);
    cvInitMatHeader(&vely, vely_.rows, vely_.cols, CV_32FC1, vely_.data);

    haveStuffInfo_ = false;
    StuffInfo* info = withStuffInfo_ ? &stuffInfo_ : nullptr;
    if (haveParams_)
        cvCalcOpticalFlowULKRefinedEx(&srcA, &srcB, &velx, &vely, storage_,
                                      info, &params_);
    else if (refineFlags_ == 0)
        cvCalcOpticalFlowULK(&srcA, &srcB, &velx, &vely, storage_, info);
    else
        cvCalcOpticalFlowULKRefined(&srcA, &srcB, &velx, &vely, storage_, info,
                                    refineFlags_);
    haveStuffInfo_ = withStuffInfo_;
}

cv::Mat UlkFlow::flow() const
{
    cv::Mat flow;
    const cv::Mat channels[] = {velx_, vely_};
    cv::merge(channels, 2, flow);
    return flow;
}

int UlkFlow::segmentCount() const
{
    return haveStuffInfo_ && stuffInfo_.segments ? stuffInfo_.segments->total
                                                 : 0;
}

int UlkFlow::trackPointCount() const
{
    return haveStuffInfo_ && stuffInfo_.trackPoints
               ? stuffInfo_.trackPoints->total
               : 0;
}

// Farneback settings shared by the benchmark and the accuracy tool.
static const double kFarnebackPyramidScale = 0.5;
static const int kFarnebackLevels = 3;
static const int kFarnebackWindow = 15;
static const int kFarnebackIterations = 3;
static const int kFarnebackPolyN = 5;
static const double kFarnebackPolySigma = 1.2;

void FarnebackFlow::run(const cv::Mat& older, const cv::Mat& newer)
{
    cv::calcOpticalFlowFarneback(older, newer, flow_, kFarnebackPyramidScale,
                                 kFarnebackLevels, kFarnebackWindow,
                                 kFarnebackIterations, kFarnebackPolyN,
                                 kFarnebackPolySigma, 0);
}

DisFlow::DisFlow(int preset) : preset_(preset) {}

std::string DisFlow::name() const
{
    switch (preset_) {
    case cv::DISOpticalFlow::PRESET_ULTRAFAST:
        return "dis_ultrafast";
    case cv::DISOpticalFlow::PRESET_FAST:
        return "dis_fast";
    case cv::DISOpticalFlow::PRESET_MEDIUM:
        return "dis_medium";
    default:
        return "dis_preset" + std::to_string(preset_);
    }
}

void DisFlow::run(const cv::Mat& older, const cv::Mat& newer)
{
    // An OpenCV 4.6 DIS instance that has run twice on one frame size
    // crashes on the next size, so each size gets a fresh instance.
    if (older.size() != size_) {
        dis_ = cv::DISOpticalFlow::create(preset_);
        size_ = older.size();
    }
    dis_->calc(older, newer, flow_);
}

std::vector<std::unique_ptr<FlowMethod>> makePeerMethods()
{
    std::vector<std::unique_ptr<FlowMethod>> methods;
    methods.push_back(std::make_unique<FarnebackFlow>());
    methods.push_back(
        std::make_unique<DisFlow>(cv::DISOpticalFlow::PRESET_ULTRAFAST));
    methods.push_back(
        std::make_unique<DisFlow>(cv::DISOpticalFlow::PRESET_FAST));
    methods.push_back(
        std::make_unique<DisFlow>(cv::DISOpticalFlow::PRESET_MEDIUM));
    return methods;
}

} // namespace ulk::bench

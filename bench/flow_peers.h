// The engine and OpenCV's dense optical-flow methods behind one interface,
// so that the benchmark and the accuracy tool run every method on the same
// frames in the same way.
#ifndef OF_ULK_BENCH_FLOW_PEERS_H
#define OF_ULK_BENCH_FLOW_PEERS_H

#include "cvoptflowulk.h"

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include <memory>
#include <string>
#include <vector>

namespace ulk::bench {

// One dense flow method. run() computes the flow from the older to the newer
// frame (both CV_8UC1 of one size) and keeps it until the next run; errors of
// the method are thrown as cv::Exception.
class FlowMethod {
  public:
    virtual ~FlowMethod() = default;
    // Short identifier without blanks, used in benchmark names and tables.
    virtual std::string name() const = 0;
    virtual void run(const cv::Mat& older, const cv::Mat& newer) = 0;
    // The last result as CV_32FC2 (u, v) in pixels, x right, y down.
    virtual cv::Mat flow() const = 0;
};

// cvCalcOpticalFlowULK, with or without a StuffInfo, or with refinement
// flags cvCalcOpticalFlowULKRefined, or with a settings record
// cvCalcOpticalFlowULKRefinedEx. It keeps one memory storage and one
// pair of velocity maps for its lifetime (made anew only when the frame size
// changes) and sets both maps to zero before every call, because the engine
// leaves pixels outside its segments as it found them.
class UlkFlow : public FlowMethod {
  public:
    explicit UlkFlow(bool withStuffInfo, int refineFlags = 0);
    // The refined mode with every setting given, through
    // cvCalcOpticalFlowULKRefinedEx, under a name of the caller's.
    UlkFlow(const CvULKRefineParams& params, std::string name);
    ~UlkFlow() override;
    UlkFlow(const UlkFlow&) = delete;
    UlkFlow& operator=(const UlkFlow&) = delete;

    std::string name() const override;
    void run(const cv::Mat& older, const cv::Mat& newer) override;
    cv::Mat flow() const override;

    // Counts of the last call's StuffInfo; 0 without one.
    int segmentCount() const;
    int trackPointCount() const;

  private:
    void prepare(cv::Size size);

    bool withStuffInfo_;
    int refineFlags_;
    bool haveParams_ = false;
    CvULKRefineParams params_{};
    std::string name_;
    CvMemStorage* storage_ = nullptr;
    cv::Size size_;
    cv::Mat velx_;
    cv::Mat vely_;
    StuffInfo stuffInfo_{};
    bool haveStuffInfo_ = false;
};

// Name of the engine with these refinement flags: "ulk" for none,
// "ulk_refined" for CV_ULK_REFINED_DEFAULT, else "ulk" followed by one
// suffix per flag ("+c2f", "+subpixel", "+segsmooth", "+variational").
std::string ulkMethodName(int refineFlags);

// Block size for a storage that must hold the IdxMap of a frame of this size
// in one allocation, plus room for the block header and the sequences.
int ulkStorageBlockSize(cv::Size size);

// cv::calcOpticalFlowFarneback with pyramid scale 0.5, 3 levels, window 15,
// 3 iterations, poly_n 5, poly_sigma 1.2, flags 0.
class FarnebackFlow : public FlowMethod {
  public:
    std::string name() const override { return "farneback"; }
    void run(const cv::Mat& older, const cv::Mat& newer) override;
    cv::Mat flow() const override { return flow_; }

  private:
    cv::Mat flow_;
};

// cv::DISOpticalFlow with one of its presets (PRESET_ULTRAFAST, PRESET_FAST,
// PRESET_MEDIUM).
class DisFlow : public FlowMethod {
  public:
    explicit DisFlow(int preset);
    std::string name() const override;
    void run(const cv::Mat& older, const cv::Mat& newer) override;
    cv::Mat flow() const override { return flow_; }

  private:
    int preset_;
    cv::Ptr<cv::DISOpticalFlow> dis_;
    cv::Size size_; // frame size dis_ was made for
    cv::Mat flow_;
};

// OpenCV's methods in table order: Farneback, then DIS ultrafast, fast and
// medium.
std::vector<std::unique_ptr<FlowMethod>> makePeerMethods();

} // namespace ulk::bench

#endif

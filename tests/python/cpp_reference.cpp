// The library's own results for two frames, written as files for the Python
// tests to compare with: the C entry's field, the viewer's colours, the
// colour wheel and the stuff-info drawing. With "refined" the field is that
// of the refined entry with the programs' refinements.
//
//   ofulk_cpp_reference older.png newer.png out_dir [refined]
#include "cvoptflowulk.h"
#include "flow_wheel.h"
#include "image_holder.h"
#include "velocity_colour.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video.hpp>

#include <cstdio>
#include <string>

using namespace ulk::viz;

namespace {

// A storage block that holds the IdxMap of a 640 x 480 frame.
constexpr int kStorageBlock = 0x97000;
// A fixed wheel scale, to compare beside the automatic one.
constexpr double kWheelMaxSpeed = 2.0;

} // namespace

int main(int argc, char** argv)
{
    const bool refined = argc == 5 && std::string(argv[4]) == "refined";
    if (argc != 4 && !refined) {
        std::fputs("usage: ofulk_cpp_reference older newer out_dir [refined]\n",
                   stderr);
        return 2;
    }
    const std::string dir = argv[3];
    cv::Mat older = cv::imread(argv[1]);
    cv::Mat newer = cv::imread(argv[2]);
    if (older.empty() || newer.empty()) {
        std::fputs("cannot read the frames\n", stderr);
        return 1;
    }
    cv::Mat greyA, greyB;
    cv::cvtColor(older, greyA, cv::COLOR_BGR2GRAY);
    cv::cvtColor(newer, greyB, cv::COLOR_BGR2GRAY);

    cv::Mat velx(greyA.size(), CV_32FC1);
    cv::Mat vely(greyA.size(), CV_32FC1);
    CvMat a = cvMat(greyA);
    CvMat b = cvMat(greyB);
    CvMat vx = cvMat(velx);
    CvMat vy = cvMat(vely);
    CvMemStorage* storage = cvCreateMemStorage(kStorageBlock);
    StuffInfo info{};
    if (refined)
        cvCalcOpticalFlowULKRefined(&a, &b, &vx, &vy, storage, &info,
                                    CV_ULK_REFINED_DEFAULT);
    else
        cvCalcOpticalFlowULK(&a, &b, &vx, &vy, storage, &info);

    cv::Mat flow;
    cv::Mat channels[] = {velx, vely};
    cv::merge(channels, 2, flow);
    bool ok = cv::writeOpticalFlow(dir + "/flow.flo", flow);

    for (double k : {kColourFactorSingle, kColourFactorSum}) {
        ImageHolder colour;
        colour.create(velx.cols, velx.rows, IPL_DEPTH_8U, 3);
        renderVelocityColour(&vx, &vy, k, colour);
        ok = ok && cv::imwrite(dir + "/colour_" + std::to_string(k) + ".png",
                               cv::cvarrToMat(colour.image()));
    }
    ok = ok && cv::imwrite(dir + "/wheel.png", renderFlowWheel(velx, vely, 0));
    ok = ok && cv::imwrite(dir + "/wheel_max.png",
                           renderFlowWheel(velx, vely, kWheelMaxSpeed));

    cv::Mat drawn = newer.clone();
    CvMat drawnHeader = cvMat(drawn);
    cvDrawOpticalFlowStuffInfo(&drawnHeader, &info);
    ok = ok && cv::imwrite(dir + "/stuff_info.png", drawn);
    std::printf("%d %d\n", info.segments->total, info.trackPoints->total);
    cvReleaseMemStorage(&storage);
    return ok ? 0 : 1;
}

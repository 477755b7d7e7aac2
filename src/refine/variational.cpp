// Variational refinement: cv::VariationalRefinement, the energy
// minimisation that DIS runs after its patch search, run coarse to fine on
// the engine's field.
#include "refine/variational.h"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>

namespace ulk {

namespace {

// Shorter side, in pixels, below which a level is too small to refine on.
const int kVariationalMinSide = 40;
// The field is refined up to half size and enlarged from there: full size
// would cost four times as much, beyond the refined mode's budget of twice
// the engine's time.
const int kPreferredFinestLevel = 1;
// Outer (fixed-point) and inner (SOR) iterations per level: the solver's
// own defaults, which DIS also uses, and two outer iterations fewer on the
// finest level, which costs three times the coarser ones together, to keep
// within that budget.
const int kFixedPointIterations = 5;
const int kFinestFixedPointIterations = 3;
const int kSorIterations = 5;

} // namespace

bool variationalLevels(int width, int height, int* coarsest, int* finest)
{
    const int side = std::min(width, height);
    if (side < kVariationalMinSide)
        return false;
    *finest = (side >> kPreferredFinestLevel) >= kVariationalMinSide
                  ? kPreferredFinestLevel
                  : 0;
    *coarsest = *finest;
    while ((side >> (*coarsest + 1)) >= kVariationalMinSide)
        ++*coarsest;
    return true;
}

void refineVariational(const FramePyramid& frames, int coarsest, int finest,
                       CvMat* velx, CvMat* vely)
{
    cv::Mat u = cv::cvarrToMat(velx);
    cv::Mat v = cv::cvarrToMat(vely);
    cv::Ptr<cv::VariationalRefinement> solver =
        cv::VariationalRefinement::create();

    cv::Mat levelU, levelV;
    for (int level = coarsest; level >= finest; --level) {
        const cv::Mat& older = frames.older(level);
        const cv::Mat& newer = frames.newer(level);
        if (level == coarsest) {
            // Velocities shrink with the frame: 1 / 2^level of a pixel.
            const double shrink = 1.0 / double(1 << level);
            cv::resize(u, levelU, older.size(), 0, 0, cv::INTER_AREA);
            cv::resize(v, levelV, older.size(), 0, 0, cv::INTER_AREA);
            levelU *= shrink;
            levelV *= shrink;
        } else {
            cv::resize(levelU, levelU, older.size(), 0, 0, cv::INTER_LINEAR);
            cv::resize(levelV, levelV, older.size(), 0, 0, cv::INTER_LINEAR);
            levelU *= 2.0;
            levelV *= 2.0;
        }
        solver->setFixedPointIterations(level == finest
                                            ? kFinestFixedPointIterations
                                            : kFixedPointIterations);
        solver->setSorIterations(kSorIterations);
        solver->calcUV(older, newer, levelU, levelV);
    }
    const double grow = double(1 << finest);
    cv::Mat fullU, fullV;
    cv::resize(levelU, fullU, u.size(), 0, 0, cv::INTER_LINEAR);
    cv::resize(levelV, fullV, v.size(), 0, 0, cv::INTER_LINEAR);
    fullU.convertTo(u, CV_32F, grow);
    fullV.convertTo(v, CV_32F, grow);
}

} // namespace ulk

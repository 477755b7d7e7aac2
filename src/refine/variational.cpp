// Variational refinement: cv::VariationalRefinement, the energy
// minimisation that DIS runs after its patch search, run coarse to fine on
// a pyramid finer than halving, with the engine's field offered per pixel
// on the coarse levels.
#include "refine/variational.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>

namespace ulk {

namespace {

// Half side of the window over which a field's warp error is summed when
// the engine's field is offered: 5 x 5 pixels of a level.
const int kFuseRadius = 2;

// This thread's solvers, one per level, kept from one call to the next:
// each holds some thirty buffers of its level's size, which a solver that
// moved from level to level would make anew on every level of every call.
thread_local std::vector<cv::Ptr<cv::VariationalRefinement>> threadSolvers;

cv::VariationalRefinement& levelSolver(int level)
{
    if (int(threadSolvers.size()) <= level)
        threadSolvers.resize(size_t(level) + 1);
    if (!threadSolvers[size_t(level)])
        threadSolvers[size_t(level)] = cv::VariationalRefinement::create();
    return *threadSolvers[size_t(level)];
}

int roundedSide(double side)
{
    return std::max(1, int(std::lround(side)));
}

// Absolute difference between older and newer moved back by (u, v),
// bilinear, the border repeated.
cv::Mat warpError(const cv::Mat& older, const cv::Mat& newer, const cv::Mat& u,
                  const cv::Mat& v)
{
    cv::Mat mapX(u.size(), CV_32FC1), mapY(u.size(), CV_32FC1);
    for (int y = 0; y < u.rows; ++y) {
        const float* pu = u.ptr<float>(y);
        const float* pv = v.ptr<float>(y);
        float* mx = mapX.ptr<float>(y);
        float* my = mapY.ptr<float>(y);
        for (int x = 0; x < u.cols; ++x) {
            mx[x] = float(x) + pu[x];
            my[x] = float(y) + pv[x];
        }
    }
    cv::Mat warped;
    cv::remap(newer, warped, mapX, mapY, cv::INTER_LINEAR,
              cv::BORDER_REPLICATE);
    cv::Mat error;
    cv::absdiff(warped, older, error);
    cv::Mat summed;
    cv::boxFilter(error, summed, CV_32F,
                  cv::Size(2 * kFuseRadius + 1, 2 * kFuseRadius + 1),
                  cv::Point(-1, -1), false, cv::BORDER_REPLICATE);
    return summed;
}

// A field of one size resized to another, its velocities scaled with it.
// The velocities are scaled on the smaller side, before an enlargement or
// after a reduction.
void resizeField(const cv::Mat& u, const cv::Mat& v, cv::Size size,
                 int interpolation, cv::Mat& outU, cv::Mat& outV)
{
    const double sx = double(size.width) / u.cols;
    const double sy = double(size.height) / u.rows;
    if (size.area() > u.size().area()) {
        cv::Mat su, sv;
        u.convertTo(su, CV_32F, sx);
        v.convertTo(sv, CV_32F, sy);
        cv::resize(su, outU, size, 0, 0, interpolation);
        cv::resize(sv, outV, size, 0, 0, interpolation);
    } else {
        cv::resize(u, outU, size, 0, 0, interpolation);
        cv::resize(v, outV, size, 0, 0, interpolation);
        outU *= sx;
        outV *= sy;
    }
}

// The engine's field reduced to a level: by area averaging over whole
// blocks of pixels, which is fast, then bilinearly to the level's size.
void reduceField(const cv::Mat& u, const cv::Mat& v, cv::Size size,
                 cv::Mat& outU, cv::Mat& outV)
{
    const int block =
        std::max(1, std::min(u.cols / size.width, u.rows / size.height));
    if (block == 1) {
        resizeField(u, v, size, cv::INTER_AREA, outU, outV);
        return;
    }
    const cv::Size blocks(u.cols / block, u.rows / block);
    cv::Mat bu, bv;
    cv::resize(u(cv::Rect(0, 0, blocks.width * block, blocks.height * block)),
               bu, blocks, 0, 0, cv::INTER_AREA);
    cv::resize(v(cv::Rect(0, 0, blocks.width * block, blocks.height * block)),
               bv, blocks, 0, 0, cv::INTER_AREA);
    // The blocks' velocities are still those of the full frame.
    cv::resize(bu, outU, size, 0, 0, cv::INTER_LINEAR);
    cv::resize(bv, outV, size, 0, 0, cv::INTER_LINEAR);
    outU *= double(size.width) / u.cols;
    outV *= double(size.height) / u.rows;
}

} // namespace

std::vector<cv::Size> variationalLevelSizes(int width, int height,
                                            const CvULKRefineParams& params)
{
    std::vector<cv::Size> sizes;
    if (std::min(width, height) < params.coarsestSide)
        return sizes;
    cv::Size finest(roundedSide(width * params.finestScale),
                    roundedSide(height * params.finestScale));
    if (std::min(finest.width, finest.height) < params.coarsestSide)
        finest = cv::Size(width, height);
    sizes.push_back(finest);
    double scale = params.pyramidScale;
    for (;;) {
        const cv::Size next(roundedSide(finest.width * scale),
                            roundedSide(finest.height * scale));
        if (std::min(next.width, next.height) < params.coarsestSide ||
            next == sizes.back())
            break;
        sizes.push_back(next);
        scale *= params.pyramidScale;
    }
    return sizes;
}

int fuseByWarpError(const cv::Mat& older, const cv::Mat& newer,
                    const cv::Mat& candU, const cv::Mat& candV, cv::Mat& u,
                    cv::Mat& v, double fuseMargin)
{
    const float margin = float(fuseMargin);
    const cv::Mat own = warpError(older, newer, u, v);
    const cv::Mat other = warpError(older, newer, candU, candV);
    int taken = 0;
    for (int y = 0; y < u.rows; ++y) {
        const float* eo = own.ptr<float>(y);
        const float* ec = other.ptr<float>(y);
        const float* cu = candU.ptr<float>(y);
        const float* cv = candV.ptr<float>(y);
        float* pu = u.ptr<float>(y);
        float* pv = v.ptr<float>(y);
        for (int x = 0; x < u.cols; ++x)
            if (ec[x] < margin * eo[x]) {
                pu[x] = cu[x];
                pv[x] = cv[x];
                ++taken;
            }
    }
    return taken;
}

void refineVariational(const cv::Mat& older, const cv::Mat& newer,
                       const CvULKRefineParams& params, bool engineField,
                       cv::Mat& u, cv::Mat& v, double fuseMargin)
{
    const std::vector<cv::Size> sizes =
        variationalLevelSizes(older.cols, older.rows, params);
    if (sizes.empty())
        return;
    const int levels = int(sizes.size());

    // Both frames on every level, finest first, each reduced from the level
    // above it; the engine's field on the levels where it is offered, the
    // first of them reduced from full size.
    std::vector<cv::Mat> olderLevels(levels), newerLevels(levels);
    std::vector<cv::Mat> engineU(levels), engineV(levels);
    std::vector<bool> offered(levels, false);
    for (int level = 0; level < levels; ++level) {
        const cv::Mat& fromA = level == 0 ? older : olderLevels[level - 1];
        const cv::Mat& fromB = level == 0 ? newer : newerLevels[level - 1];
        if (fromA.size() == sizes[level]) {
            olderLevels[level] = fromA;
            newerLevels[level] = fromB;
        } else {
            cv::resize(fromA, olderLevels[level], sizes[level], 0, 0,
                       cv::INTER_AREA);
            cv::resize(fromB, newerLevels[level], sizes[level], 0, 0,
                       cv::INTER_AREA);
        }
        offered[level] = engineField && sizes[level].width <=
                                            params.fuseScale * older.cols + 0.5;
        if (!offered[level])
            continue;
        const bool first = level == 0 || !offered[level - 1];
        if (first)
            reduceField(u, v, sizes[level], engineU[level], engineV[level]);
        else
            resizeField(engineU[level - 1], engineV[level - 1], sizes[level],
                        cv::INTER_AREA, engineU[level], engineV[level]);
    }

    cv::Mat levelU, levelV;
    for (int level = levels - 1; level >= 0; --level) {
        const cv::Size size = sizes[level];
        if (level == levels - 1) {
            levelU = cv::Mat::zeros(size, CV_32FC1);
            levelV = cv::Mat::zeros(size, CV_32FC1);
        } else {
            resizeField(levelU, levelV, size, cv::INTER_LINEAR, levelU, levelV);
        }
        if (offered[level])
            fuseByWarpError(olderLevels[level], newerLevels[level],
                            engineU[level], engineV[level], levelU, levelV,
                            fuseMargin);
        cv::VariationalRefinement& solver = levelSolver(level);
        solver.setAlpha(float(params.alpha));
        solver.setDelta(float(params.delta));
        solver.setGamma(float(params.gamma));
        solver.setFixedPointIterations(params.outerIterations);
        solver.setSorIterations(params.innerIterations);
        solver.setOmega(float(params.omega));
        solver.calcUV(olderLevels[level], newerLevels[level], levelU, levelV);
    }
    resizeField(levelU, levelV, u.size(), cv::INTER_LINEAR, u, v);
}

void releaseVariationalSolvers()
{
    threadSolvers.clear();
    threadSolvers.shrink_to_fit();
}

} // namespace ulk

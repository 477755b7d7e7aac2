// Defaults and ranges of the refined mode's settings.
#include "refine/refine_params.h"

#include <cstdio>

namespace ulk {

using P = CvULKRefineParams;

const RefineField kRefineFields[] = {
    {"pyramidScale", &P::pyramidScale, nullptr, 0.5, 0.95},
    {"coarsestSide", nullptr, &P::coarsestSide, 4, 1024},
    {"finestScale", &P::finestScale, nullptr, 0.1, 1},
    {"alpha", &P::alpha, nullptr, 0.01, 1000},
    {"delta", &P::delta, nullptr, 0, 1000},
    {"gamma", &P::gamma, nullptr, 0, 1000},
    {"outerIterations", nullptr, &P::outerIterations, 1, 100},
    {"innerIterations", nullptr, &P::innerIterations, 1, 100},
    {"omega", &P::omega, nullptr, 1, 1.99},
    {"fuseScale", &P::fuseScale, nullptr, 0, 1},
};
const int kRefineFieldCount = int(sizeof(kRefineFields) / sizeof(RefineField));

CvULKRefineParams defaultRefineParams()
{
    // Chosen on synthetic motions (bench/refine_sweep, bench/choose_params.py)
    // among the settings whose time, with the engine's, stays within DIS
    // MEDIUM's; see docs/performance.md.
    CvULKRefineParams params;
    params.flags = CV_ULK_REFINED_DEFAULT;
    params.pyramidScale = 0.75;
    params.coarsestSide = 8;
    params.finestScale = 0.5;
    params.alpha = 12.0;
    params.delta = 5.0;
    params.gamma = 10.0;
    params.outerIterations = 2;
    params.innerIterations = 6;
    params.omega = 1.9;
    params.fuseScale = 0.3;
    return params;
}

std::string refineParamsProblem(const CvULKRefineParams& params)
{
    if ((params.flags & ~CV_ULK_REFINE_ALL) != 0)
        return "Unknown refinement flags";
    for (const RefineField& field : kRefineFields) {
        const double value = field.get(params);
        // Written so that NaN fails.
        if (value >= field.low && value <= field.high)
            continue;
        char message[96];
        std::snprintf(message, sizeof(message), "%s must lie in [%g, %g]",
                      field.name, field.low, field.high);
        return message;
    }
    return std::string();
}

} // namespace ulk

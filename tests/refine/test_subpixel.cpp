// Sub-pixel vertex of three costs: parabolas with a known vertex, and the
// cases that give no shift.
#include <gtest/gtest.h>

#include <string>

#include "refine/match_search.h"

using namespace ulk;

namespace {

// Costs a * (t - vertex)^2 + floor sampled at t = -1, 0, +1.
struct Parabola {
    double vertex;
    double a;
    double floor;
};

class SubpixelParabola : public testing::TestWithParam<Parabola> {};

TEST_P(SubpixelParabola, FindsTheVertexOfSampledCosts)
{
    const Parabola p = GetParam();
    auto cost = [&](double t) {
        return uint64_t(p.a * (t - p.vertex) * (t - p.vertex) + p.floor);
    };
    EXPECT_NEAR(parabolaVertex(cost(-1), cost(0), cost(1)), p.vertex, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Vertices, SubpixelParabola,
                         testing::Values(Parabola{0.0, 4000, 1000},
                                         Parabola{0.3, 4000, 1000},
                                         Parabola{-0.45, 90000, 0},
                                         Parabola{0.5, 20000, 300},
                                         Parabola{-0.125, 1e6, 5e4}),
                         [](const testing::TestParamInfo<Parabola>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST(SubpixelParabola, NoShiftWithoutUpwardBend)
{
    EXPECT_EQ(parabolaVertex(500, 500, 500), 0.0f);   // flat
    EXPECT_EQ(parabolaVertex(100, 500, 100), 0.0f);   // downward
    EXPECT_EQ(parabolaVertex(kNoCost, 10, 90), 0.0f); // left neighbour out
    EXPECT_EQ(parabolaVertex(90, 10, kNoCost), 0.0f); // right neighbour out
}

TEST(SubpixelParabola, VertexStaysWithinHalfAPixel)
{
    // The middle cost is not the least: the vertex lies beyond +-0.5 and is
    // held at the border between the pixels.
    EXPECT_EQ(parabolaVertex(1000, 400, 0), 0.5f);
    EXPECT_EQ(parabolaVertex(0, 400, 1000), -0.5f);
}

} // namespace

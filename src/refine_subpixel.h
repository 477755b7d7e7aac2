// Sub-pixel point velocities: the vertex of a parabola through the match
// costs around the best whole-pixel velocity, along each axis.
#ifndef OF_ULK_REFINE_SUBPIXEL_H
#define OF_ULK_REFINE_SUBPIXEL_H

#include <cstdint>

#include <opencv2/core/types.hpp>

#include "refine_match_search.h"

// Position, between -0.5 and 0.5, of the lowest point of the parabola
// through the costs at -1, 0 and +1, where the middle cost is the least of
// the three; 0 when the costs do not bend upward or one is kNoCost.
float parabolaVertex(uint64_t before, uint64_t centre, uint64_t after);

// The whole-pixel best velocity of a search plus the parabola vertex of its
// costs along x and along y.
cv::Point2f subpixelVelocity(MatchSearch* search, cv::Point best,
                             uint64_t bestCost);

#endif

// Diagnostic drawing of a StuffInfo.
#ifndef OF_ULK_DRAW_STUFF_INFO_H
#define OF_ULK_DRAW_STUFF_INFO_H

#include "cvoptflowulk.h"

namespace ulk {

// ContourFunc of the outline pass: userData is the address of a CvMat*
// holding the image; paints (x, y) red for direction 9, else (128,100,100)
// in BGR order.
bool paintContourPoint(int x, int y, int label, int direction, void* userData);

} // namespace ulk

#endif

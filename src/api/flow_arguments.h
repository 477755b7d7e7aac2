// Argument checks shared by the flow entries.
#ifndef OF_ULK_FLOW_ARGUMENTS_H
#define OF_ULK_FLOW_ARGUMENTS_H

#include "cvoptflowulk.h"

namespace ulk {

// Matrix headers of the four arrays of a flow call once they have passed
// the checks.
struct FlowArguments {
    CvMat headerA, headerB, headerX, headerY;
    CvMat* srcA = nullptr;
    CvMat* srcB = nullptr;
    CvMat* velx = nullptr;
    CvMat* vely = nullptr;
};

// Converts and checks the arguments of a flow call in their fixed order:
// the four conversions, the storage, the source and destination formats,
// the sizes, the element types and the row steps. The first failure raises
// its error for funcName and returns false; nothing is changed.
bool checkFlowArguments(CvArr* srcA, CvArr* srcB, CvArr* velx, CvArr* vely,
                        CvMemStorage* storage, const char* funcName,
                        FlowArguments* args);

} // namespace ulk

#endif

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
// the sizes, the element types, the row steps, the velocity maps' overlap
// and the storage's block size. The first failure raises its error for
// funcName and returns false; nothing is changed.
bool checkFlowArguments(CvArr* srcA, CvArr* srcB, CvArr* velx, CvArr* vely,
                        CvMemStorage* storage, bool withStuffInfo,
                        const char* funcName, FlowArguments* args);

// The least block size of a storage that serves a call on rows x cols
// frames: room for the block's header and the largest single piece that
// the call takes from the storage, a sequence header, a sequence block
// with one element, or with a StuffInfo the IdxMap (2 x rows x cols bytes
// rounded up to 8).
long long leastStorageBlock(int rows, int cols, bool withStuffInfo);

} // namespace ulk

#endif

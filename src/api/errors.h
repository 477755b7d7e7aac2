// Error reporting shared by the public functions of cvoptflowulk.
#ifndef OF_ULK_ERRORS_H
#define OF_ULK_ERRORS_H

#include <opencv2/core/core_c.h>

namespace ulk {

// Source file name given to every cvError report of the module.
extern const char* const kUlkSourceFile;

// Raises one library error on behalf of the public function funcName.
#define ULK_RAISE(status, funcName, message)                                   \
    cvError((status), (funcName), (message), ::ulk::kUlkSourceFile, __LINE__)

// Converts arr to a matrix header with cvGetMat(arr, header, no COI,
// allowND 0). On failure, whether the library threw or only set its error
// status, raises CV_StsBackTrace "Inner function failed." for funcName and
// returns null (when the report returns at all).
CvMat* getMatOrReport(const CvArr* arr, CvMat* header, const char* funcName);

} // namespace ulk

#endif

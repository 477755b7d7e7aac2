// The warning of both front ends for a video whose frames ran out before
// the count its header declares: the file may be cut short or damaged, and
// its last frames, which were used all the same, may be damaged too.
#ifndef ULK_FRONTEND_SHORT_VIDEO_H
#define ULK_FRONTEND_SHORT_VIDEO_H

#include <string>

namespace ulk::frontend {

// The warning, without a program name or line end, after `read` frames of
// a video whose header declares `declared`; "" when nothing is amiss (a
// count not declared is 0 or less).
inline std::string shortVideoWarning(long declared, long read)
{
    if (declared <= 0 || read >= declared)
        return "";
    return "the video header declares " + std::to_string(declared) +
           " frames but only " + std::to_string(read) +
           " were read; the file may be cut short or damaged";
}

} // namespace ulk::frontend

#endif

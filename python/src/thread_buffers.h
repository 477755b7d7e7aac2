// The buffers that the library keeps for each thread that calls the engine
// (cvReleaseOpticalFlowULKBuffers hands them back),
// about 15 bytes per pixel of the thread's latest frame size.
#ifndef OFULK_THREAD_BUFFERS_H
#define OFULK_THREAD_BUFFERS_H

namespace ulk::python {

// With the interpreter's lock: the calling thread's buffers are released
// when Python clears the thread's state as the thread ends, before join()
// returns. The C++ runtime frees them only after that, so that memory
// measured right after join() still held them.
void releaseBuffersWhenThreadEnds();

} // namespace ulk::python

#endif

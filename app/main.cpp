// of_ulk: shows the dense optical flow of a video file or a capture device.
#include "driver.h"

int main(int argc, char** argv)
{
    return ulk::viewer::runOfUlk(argc, argv);
}

// of_ulk: shows the dense optical flow of a video file or a capture device.
#include "driver.h"

#include <csignal>

int main(int argc, char** argv)
{
    // A recording that reaches the file-size limit is then a failed write
    // that the program reports, not a signal that ends it on the spot.
    std::signal(SIGXFSZ, SIG_IGN);
    return ulk::viewer::runOfUlk(argc, argv);
}

#include "batch_export.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // A file that reaches the size limit is then a failed write that the
    // exporter reports and cleans up, not a signal that ends it on the spot.
    std::signal(SIGXFSZ, SIG_IGN);
    // FFmpeg's own messages (damaged frames) bypass the image library's
    // logger; this keeps them to fatal ones unless asked for.
    setenv("OPENCV_FFMPEG_LOGLEVEL", "0", 0);
    std::vector<std::string> args(argv + 1, argv + argc);
    return ulk::exporter::exportMain(args, std::cout, std::cerr);
}

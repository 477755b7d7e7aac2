// make_sample_clip: writes an MJPG AVI of a synthetic scene whose objects
// move with known constant velocities, and prints those velocities. With
// --textured the background is blurred noise panning one pixel per frame,
// so that nearly every pixel moves.
//
//   make_sample_clip [--textured] out.avi [width height frames [seed]]
#include "synthetic_scene.h"

#include <opencv2/videoio.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace ulk::tools;

namespace {

constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 480;
constexpr int kDefaultFrames = 60;
constexpr double kFrameRate = 25.0;
// Frames must hold the scene's objects; larger ones only cost time.
constexpr int kMinSide = 16;
constexpr int kMaxSide = 8192;

bool parseInt(const char* text, int low, int high, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low ||
        parsed > high)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

int usage()
{
    std::fputs("usage: make_sample_clip [--textured] out.avi [width height "
               "frames [seed]]\n"
               "  defaults: 640 x 480, 60 frames, seed 1; 25 frames per "
               "second\n"
               "  --textured: a background of blurred noise panning one "
               "pixel per frame\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Backdrop backdrop = Backdrop::Still;
    if (argc > 1 && std::strcmp(argv[1], "--textured") == 0) {
        backdrop = Backdrop::Panning;
        --argc;
        ++argv;
    }
    if (argc != 2 && argc != 5 && argc != 6)
        return usage();
    int width = kDefaultWidth;
    int height = kDefaultHeight;
    int frames = kDefaultFrames;
    int seed = 1;
    if (argc >= 5 && !(parseInt(argv[2], kMinSide, kMaxSide, width) &&
                       parseInt(argv[3], kMinSide, kMaxSide, height) &&
                       parseInt(argv[4], 1, INT_MAX, frames)))
        return usage();
    if (argc == 6 && !parseInt(argv[5], 0, INT_MAX, seed))
        return usage();

    const SyntheticScene scene(width, height, static_cast<unsigned>(seed),
                               backdrop);
    cv::VideoWriter writer(argv[1], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                           kFrameRate, cv::Size(width, height), true);
    if (!writer.isOpened()) {
        std::fprintf(stderr, "Could not create %s\n", argv[1]);
        return 1;
    }
    for (int i = 0; i < frames; ++i)
        writer.write(scene.frame(i));
    writer.release();

    std::printf("%s: %d x %d, %d frames at %.0f fps, seed %d\n", argv[1], width,
                height, frames, kFrameRate, seed);
    const cv::Point pan = scene.backgroundVelocity();
    if (pan != cv::Point())
        std::printf("background: velocity (%d, %d) pixels per frame\n", pan.x,
                    pan.y);
    const auto& objects = scene.objects();
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const SceneObject& o = objects[i];
        std::printf("object %zu: %d x %d at (%d, %d), velocity (%d, %d) "
                    "pixels per frame\n",
                    i, o.box.width, o.box.height, o.box.x, o.box.y, o.vx, o.vy);
    }
    return 0;
}

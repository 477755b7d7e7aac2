// Synthetic video scenes with known motion: a textured background, still
// or panning, and several textured objects moving with constant
// whole-pixel velocities. Used by the sample clip maker, the tests and the
// benchmarks.
#ifndef OF_ULK_SYNTHETIC_SCENE_H
#define OF_ULK_SYNTHETIC_SCENE_H

#include <opencv2/core.hpp>

#include <vector>

namespace ulk::tools {

struct SceneObject {
    cv::Rect box; // position in frame 0
    int vx;       // pixels per frame, to the right
    int vy;       // pixels per frame, downward
};

// What lies behind the objects.
enum class Backdrop {
    Still,  // blobs of grey that stay put, four objects over them
    Panning // blurred noise moving one pixel per frame to the right, three
            // objects over it: nearly every pixel moves, as in real video
};

class SyntheticScene {
  public:
    // A scene of the given (positive) frame size; the seed fixes textures
    // and objects, so equal seeds give equal frames.
    SyntheticScene(int width, int height, unsigned seed = 1,
                   Backdrop backdrop = Backdrop::Still);

    int width() const { return width_; }
    int height() const { return height_; }
    const std::vector<SceneObject>& objects() const { return objects_; }
    // Pixels per frame by which the background moves; it wraps around.
    cv::Point backgroundVelocity() const { return pan_; }
    // Top-left corner of object `object` in frame `index`. Objects that
    // leave the frame come back at the opposite edge, so the corner is
    // wrapped into the frame.
    cv::Point objectPosition(std::size_t object, int index) const;

    // Frame `index` as an 8-bit BGR image (CV_8UC3).
    cv::Mat frame(int index) const;
    // The same frame converted to grey (CV_8UC1).
    cv::Mat greyFrame(int index) const;

  private:
    int width_;
    int height_;
    cv::Mat background_;            // CV_8UC3, frame size, in frame 0
    cv::Point pan_;                 // the background's velocity
    std::vector<cv::Mat> textures_; // one CV_8UC3 texture per object
    std::vector<SceneObject> objects_;
};

// Diagonal stripes of 8 pixels' period (grey 200, then 50), moved right by
// shift pixels: a frame of thousands of thin segments whose rectangles each
// cover much of it (CV_8UC1).
cv::Mat diagonalStripes(cv::Size size, int shift = 0);

} // namespace ulk::tools

#endif

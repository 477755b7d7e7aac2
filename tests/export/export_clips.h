// Clips drawn in code for the exporter's tests: a textured scene that moves
// by a known step, written as a frame folder or an MJPG video, and the
// field the engine gives for two of its frames.
#ifndef OF_ULK_TESTS_EXPORT_CLIPS_H
#define OF_ULK_TESTS_EXPORT_CLIPS_H

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Frame size of the drawn clips: large enough for the engine's windows.
constexpr int kClipWidth = 128;
constexpr int kClipHeight = 96;

// Frames of a textured scene that moves as a whole by (dx, dy) pixels per
// frame, to the right and down: frame i is a window into a larger texture.
std::vector<cv::Mat> shiftedClip(int frames, int dx, int dy);

// Writes the frames as dir/frame000.png, frame001.png, ... and returns dir.
std::string writeFrameFolder(const std::string& dir,
                             const std::vector<cv::Mat>& clip);

// Writes the frames as an MJPG video at 10 frames per second, its folder
// created when missing; returns path.
std::string writeMjpgClip(const std::string& path,
                          const std::vector<cv::Mat>& clip);

#endif

// Keeps the image library's own log lines (failed codec, camera or file
// probes) off the console for as long as a QuietLibraryLog is alive; the
// program reports such failures in its own words.
#ifndef OF_ULK_LIBRARY_LOG_H
#define OF_ULK_LIBRARY_LOG_H

#include <opencv2/core/utils/logger.hpp>

namespace ulk::viz {

class QuietLibraryLog {
  public:
    QuietLibraryLog()
        : saved_(cv::utils::logging::setLogLevel(
              cv::utils::logging::LOG_LEVEL_SILENT))
    {
    }
    ~QuietLibraryLog() { cv::utils::logging::setLogLevel(saved_); }
    QuietLibraryLog(const QuietLibraryLog&) = delete;
    QuietLibraryLog& operator=(const QuietLibraryLog&) = delete;

  private:
    cv::utils::logging::LogLevel saved_;
};

} // namespace ulk::viz

#endif

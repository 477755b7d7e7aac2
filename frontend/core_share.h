// The pipeline's workers and the engine's parallel stages (cv::parallel_for_
// of OpenCV's thread pool) share the cores: with as many workers as cores,
// each worker's stages run on its own thread, and with fewer the stages get
// the cores the workers leave. More compute threads than cores would only
// take turns on them and evict each other's data from the caches.
#ifndef ULK_FRONTEND_CORE_SHARE_H
#define ULK_FRONTEND_CORE_SHARE_H

namespace ulk::frontend {

// OpenCV threads for each of `workers` workers on `cores` cores: the cores
// a worker has to itself, at least 1.
int engineThreadsPerWorker(int workers, int cores);

// While alive, OpenCV runs engineThreadsPerWorker(workers, cores) threads;
// its thread count before is restored at the end. The count is OpenCV's
// global setting: one run at a time.
class CoreShare {
  public:
    explicit CoreShare(int workers, int cores = 0); // 0: the machine's
    ~CoreShare();
    CoreShare(const CoreShare&) = delete;
    CoreShare& operator=(const CoreShare&) = delete;

  private:
    int before_;
};

} // namespace ulk::frontend

#endif

// The exporter run as a process by its tests, so that it can be killed or
// limited like a real run, and checks of the files a run leaves.
#ifndef OF_ULK_TESTS_EXPORT_RUNS_H
#define OF_ULK_TESTS_EXPORT_RUNS_H

#include <opencv2/core.hpp>

#include <sys/types.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

// What an in-process run of the exporter gave: its exit status and the
// text it wrote to its two streams.
struct RunOutput {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs the exporter's main function in this process with args.
RunOutput runExport(const std::vector<std::string>& args);

// Whether part occurs in text.
bool contains(const std::string& text, const std::string& part);

// A signal that stops a run, as a test parameter named after the signal.
struct SignalCase {
    int signal;
    const char* name;
};

void PrintTo(const SignalCase& c, std::ostream* os);

// Starts the exporter with args, its output streams in dir/stdout.txt and
// dir/stderr.txt, SIGINT and SIGTERM at their default actions and, when
// fileSizeLimit is above 0, no file allowed to grow beyond it.
pid_t startExporter(const std::vector<std::string>& args,
                    const std::string& dir, long fileSizeLimit = 0);

// Waits for the child; after timeoutSeconds it is killed and the test
// fails. Returns the raw wait status.
int waitForExit(pid_t pid, int timeoutSeconds = 120);

// Starts the exporter as startExporter does, waits until it has written to
// its error stream (its first progress line) or has ended, and delayMs
// later, if it is still running, sends it signal. Returns the raw wait
// status; a run that could not start fails the test and gives -1.
int stopExporterAfterFirstOutput(const std::vector<std::string>& args,
                                 const std::string& dir, int delayMs,
                                 int signal);

// "exit status N" or "ended by signal N".
std::string describeStatus(int status);

// Checks that a final-named output file is whole: a .flo holds its header
// with the expected size and every velocity, an image decodes to that size.
void expectComplete(const std::filesystem::path& path, cv::Size size);

// Checks every file of an output folder: no temporary file is left, each
// file is whole, and the pairs form a prefix 0 .. n-1 with every file of
// each pair (one per suffix). Returns n.
long expectCompletePrefix(const std::string& dir, cv::Size size,
                          const std::vector<std::string>& suffixes);

#endif

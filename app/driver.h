// The of_ulk program: command line, video source, frame loop, display and
// recording around cvCalcOpticalFlowULK.
#ifndef OF_ULK_DRIVER_H
#define OF_ULK_DRIVER_H

#include <cstddef>
#include <string>

namespace ulk::viewer {

extern const char* const kHelpText;

// What the command line asks for.
struct DriverOptions {
    enum class Action {
        Help,    // print the help text and stop
        NotAvi,  // refuse the source
        Capture, // read a capture device
        File,    // read an AVI file
    };
    Action action = Action::Help;
    int device = 0;         // capture device number (first digit)
    bool record = false;    // "/r": write the shown images to outputName
    bool stuffInfo = false; // "/si": diagnostic overlay
    bool addFields = false; // "/av": render the sum of the two last fields
    bool refined = false;   // "/hq": the engine's refined mode
    std::string source;     // the first argument; for a file, the name
                            // that is opened (see nameSourceFile)
    std::string baseName;   // source up to its first ".avi" in any case;
                            // "" for devices
    std::string outputName; // baseName + "_out.avi"
};

// Reads the arguments as the program does: help for no arguments or a
// lone argument containing "/?" or being -h or --help, the first argument
// as given, ".avi" found in any case, options found by substring in the
// concatenation of all further arguments.
DriverOptions parseCommandLine(int argc, const char* const* argv);

// Makes `name` the source, and the base and output names follow it. The
// program names the file that it opens this way: the argument as given when
// it exists, otherwise its lower-cased form (see source_name.h).
void nameSourceFile(DriverOptions& options, const std::string& name);

// Block size of the engine's memory storage: the library default (0)
// without the stuff info; with it at least 0x97000 and large enough for
// the engine's one-piece label map of a rows x cols frame.
int storageBlockSize(int rows, int cols, bool stuffInfo);

// Velocity pair (1 or 2) that receives the flow of the given frame
// parity (1 or 0): pair 2 on the first frame, then alternately 1 and 2.
inline int velocityPairForParity(unsigned parity)
{
    return static_cast<int>(parity) + 1;
}

// The whole program; returns 0 on success and -1 on failure.
int runOfUlk(int argc, char** argv);

} // namespace ulk::viewer

#endif

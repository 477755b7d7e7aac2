#include "collection_run.h"

#include "atomic_file.h"
#include "batch_export.h"
#include "frame_source.h"
#include "progress.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

const char* const kFailedListName = "failed.txt";

namespace {

using Clock = std::chrono::steady_clock;

const char* const kName = "of_ulk_export: ";

// Where a list of failures is kept until it is written.
struct Failure {
    std::string input;
    std::string reason;
};

// The options line of a done marker: every option that changes the files.
std::string optionsSignature(const ExportOptions& options)
{
    std::ostringstream text;
    text << std::setprecision(17) << "format "
         << (options.format == FieldFormat::Xy ? "xy" : "flo") << " bound "
         << options.bound << " xy-png " << options.xyPng << " step "
         << options.step << " resize " << options.resizeWidth << "x"
         << options.resizeHeight << " short-side " << options.shortSide
         << " png " << options.png << " wheel " << options.wheel
         << " max-speed " << options.maxSpeed << " legend "
         << static_cast<int>(options.legend) << " max-pairs "
         << options.maxPairs;
    return text.str();
}

// Removes what an earlier attempt left of an item: a temporary file of its
// marker, and its folder's output files and temporary files. Other files
// stay.
void clearEarlierAttempt(const std::string& dir, const std::string& marker)
{
    std::error_code ec;
    const fs::path markerPath(marker);
    const std::string markerTemporary =
        "." + markerPath.filename().string() + ".";
    for (fs::directory_iterator it(markerPath.parent_path(), ec), end;
         !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.compare(0, markerTemporary.size(), markerTemporary) == 0 &&
            isTemporaryFileName(name))
            fs::remove(it->path(), ec);
    }
    ec.clear();
    if (!fs::is_directory(dir, ec))
        return;
    for (const std::string& name : earlierRunFiles(dir, 0, {}))
        fs::remove(fs::path(dir) / name, ec);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
         it.increment(ec))
        if (isTemporaryFileName(it->path().filename().string()))
            fs::remove(it->path(), ec);
}

// Writes failed.txt (input, a tab, the reason, one per line), or removes a
// list of an earlier run when nothing failed.
bool writeFailedList(const std::string& root,
                     const std::vector<Failure>& failures, std::string& error)
{
    fs::path path = fs::path(root) / kFailedListName;
    if (failures.empty()) {
        std::error_code ec;
        fs::remove(path, ec);
        return true;
    }
    std::string text;
    for (const Failure& f : failures)
        text += f.input + "\t" + f.reason + "\n";
    return writeBytesAtomically(
        path.string(), std::vector<unsigned char>(text.begin(), text.end()),
        error);
}

} // namespace

std::string doneMarkerPath(const std::string& outputRoot,
                           const std::string& itemOutput)
{
    return (fs::path(outputRoot) / (itemOutput + ".done")).string();
}

std::string doneMarkerText(long pairs, const ExportOptions& options)
{
    return "pairs " + std::to_string(pairs) + "\noptions " +
           optionsSignature(options) + "\n";
}

bool readDoneMarker(const std::string& path, const ExportOptions& options,
                    long& pairs)
{
    std::ifstream file(path);
    std::string pairsWord;
    std::string optionsLine;
    if (!(file >> pairsWord >> pairs) || pairsWord != "pairs" || pairs < 1)
        return false;
    file >> std::ws;
    std::getline(file, optionsLine);
    return optionsLine == "options " + optionsSignature(options);
}

int runCollection(const ExportOptions& options,
                  const std::vector<CollectionItem>& items,
                  InterruptWatch* watch, std::ostream& out, std::ostream& err)
{
    const Clock::time_point start = Clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    std::string error;
    if (!prepareOutputDir(options.outputDir, error)) {
        err << kName << error << '\n';
        return kExitFailure;
    }

    std::vector<Failure> failures;
    std::set<std::string> outputsTaken;
    long written = 0;
    long skipped = 0;
    long pairs = 0;
    int workers = options.jobs > 0 ? options.jobs : defaultJobCount();
    int signal = 0;
    for (size_t i = 0; i < items.size() && signal == 0; ++i) {
        if (watch != nullptr && watch->signal() != 0) {
            signal = watch->signal();
            break;
        }
        const CollectionItem& item = items[i];
        const std::string marker =
            doneMarkerPath(options.outputDir, item.output);
        const std::string dir =
            (fs::path(options.outputDir) / item.output).string();
        long donePairs = 0;
        if (!outputsTaken.insert(item.output).second) {
            failures.push_back(
                {item.input,
                 "its output folder " + dir + " is that of an earlier input"});
        } else if (!options.force &&
                   readDoneMarker(marker, options, donePairs)) {
            ++skipped;
        } else {
            // The marker goes first, so that a stop from here on leaves the
            // item to be redone.
            std::error_code ec;
            fs::remove(marker, ec);
            clearEarlierAttempt(dir, marker);

            ExportOptions itemOptions = options;
            itemOptions.inputs = {item.input};
            itemOptions.outputDir = dir;
            itemOptions.force = true;
            itemOptions.quiet = true;
            std::unique_ptr<FrameSource> source =
                FrameSource::open(itemOptions.inputs, error);
            std::string created;
            if (!source) {
                failures.push_back({item.input, error});
            } else if (!prepareOutputDir(dir, error, &created)) {
                failures.push_back({item.input, error});
            } else {
                std::ostringstream quiet;
                auto showProgress = [&](long itemPairs) {
                    err << '\r'
                        << formatCollectionProgress(
                               written + skipped + long(failures.size()),
                               long(items.size()), pairs + itemPairs,
                               written + long(failures.size()), elapsed())
                        << "    ";
                    err.flush();
                };
                ExportResult result = runBatchExport(
                    itemOptions, *source, quiet, watch,
                    options.quiet ? std::function<void(long)>() : showProgress);
                pairs += result.pairs;
                if (result.pairs == 0)
                    removeCreatedFolders(dir, created);
                if (result.signal != 0) {
                    signal = result.signal;
                } else if (!result.error.empty()) {
                    failures.push_back({item.input, result.error});
                } else {
                    // Written last: the item counts as done from here on.
                    std::string text = doneMarkerText(result.pairs, options);
                    if (writeBytesAtomically(marker,
                                             std::vector<unsigned char>(
                                                 text.begin(), text.end()),
                                             error))
                        ++written;
                    else
                        failures.push_back({item.input, error});
                }
            }
        }
        if (!options.quiet && signal == 0) {
            long finished = written + skipped + long(failures.size());
            err << '\r'
                << formatCollectionProgress(finished, long(items.size()), pairs,
                                            written + long(failures.size()),
                                            elapsed())
                << "    ";
            err.flush();
        }
    }
    if (!options.quiet)
        err << '\n';

    if (!writeFailedList(options.outputDir, failures, error))
        err << kName << error << '\n';
    for (const Failure& f : failures)
        err << kName << "failed: " << f.input << ": " << f.reason << '\n';
    if (signal != 0) {
        err << kName << "interrupted by " << signalName(signal) << ": "
            << written << " videos written; run the same command again to "
            << "finish the rest\n";
        return exitStatusForSignal(signal);
    }
    out << formatCollectionSummary(written, skipped, long(failures.size()),
                                   pairs, elapsed(), workers);
    if (!failures.empty())
        err << kName << failures.size() << " of " << items.size()
            << " inputs failed; they are listed in "
            << (fs::path(options.outputDir) / kFailedListName).string() << '\n';
    return failures.empty() ? kExitOk : kExitFailure;
}

#include "collection_item.h"

#include "atomic_file.h"
#include "batch_export.h"
#include "frame_source.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <set>
#include <sstream>

namespace ulk::exporter {

namespace fs = std::filesystem;

namespace {

// The options line of a done marker: every option that changes the files.
std::string optionsSignature(const ExportOptions& options)
{
    std::ostringstream text;
    text << std::setprecision(17) << "format "
         << (options.format == FieldFormat::Xy ? "xy" : "flo") << " bound "
         << options.bound << " xy-png " << options.xyPng << " step "
         << options.gap << " resize " << options.resizeWidth << "x"
         << options.resizeHeight << " short-side " << options.shortSide
         << " png " << options.png << " wheel " << options.wheel
         << " max-speed " << options.maxSpeed << " legend "
         << static_cast<int>(options.legend) << " max-pairs "
         << options.maxPairs;
    // Added only when set, so that markers of the options before it match.
    if (options.stride != 1)
        text << " stride " << options.stride;
    return text.str();
}

// Removes what an earlier attempt left of an item: a temporary file of its
// marker, its folder's temporary files and, with outputs set, its output
// files. Other files stay.
void clearEarlierAttempt(const std::string& dir, const std::string& marker,
                         bool outputs)
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
    if (outputs)
        for (const std::string& name : earlierRunFiles(dir, 0, {}))
            fs::remove(fs::path(dir) / name, ec);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
         it.increment(ec))
        if (isTemporaryFileName(it->path().filename().string()))
            fs::remove(it->path(), ec);
}

ItemOutcome failed(std::string reason, long pairs = 0)
{
    ItemOutcome outcome;
    outcome.state = ItemState::Failed;
    outcome.pairs = pairs;
    outcome.reason = std::move(reason);
    return outcome;
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

std::vector<std::string>
sharedOutputReasons(const std::string& outputRoot,
                    const std::vector<CollectionItem>& items)
{
    std::vector<std::string> reasons;
    std::set<std::string> taken;
    for (const CollectionItem& item : items) {
        if (taken.insert(item.output).second)
            reasons.emplace_back();
        else
            reasons.push_back("its output folder " +
                              (fs::path(outputRoot) / item.output).string() +
                              " is that of an earlier input");
    }
    return reasons;
}

ItemOutcome exportCollectionItem(const ExportOptions& options,
                                 const CollectionItem& item,
                                 InterruptWatch* watch,
                                 std::function<void(long)> onProgress)
{
    const std::string marker = doneMarkerPath(options.outputDir, item.output);
    const std::string dir =
        (fs::path(options.outputDir) / item.output).string();
    long donePairs = 0;
    if (!options.force && readDoneMarker(marker, options, donePairs)) {
        ItemOutcome skipped;
        skipped.state = ItemState::Skipped;
        return skipped;
    }
    // A marker of other options (or --force) has the item redone from
    // scratch; the marker goes first, so that a stop from here on leaves
    // the item unfinished. Without a marker the item was stopped midway:
    // its files under final names are complete, and the export goes on
    // after them.
    std::error_code ec;
    const bool restart = options.force || fs::exists(marker, ec);
    fs::remove(marker, ec);
    clearEarlierAttempt(dir, marker, restart);

    ExportOptions itemOptions = options;
    itemOptions.inputs = {item.input};
    itemOptions.outputDir = dir;
    itemOptions.force = false; // nothing is left to overwrite on a restart
    itemOptions.quiet = true;
    std::string error;
    std::string created;
    std::unique_ptr<FrameSource> source =
        FrameSource::open(itemOptions.inputs, error);
    if (!source || !prepareOutputDir(dir, error, &created))
        return failed(error);
    std::ostringstream unused;
    ExportResult result = runBatchExport(itemOptions, *source, unused, watch,
                                         std::move(onProgress));
    if (result.pairs == 0)
        removeCreatedFolders(dir, created);
    if (result.signal != 0) {
        ItemOutcome stopped;
        stopped.state = ItemState::Stopped;
        stopped.pairs = result.pairs;
        stopped.signal = result.signal;
        return stopped;
    }
    if (!result.error.empty())
        return failed(result.error, result.pairs);
    // Written last: the item counts as done from here on.
    std::string text =
        doneMarkerText(result.pairs + result.pairsOnDisk, options);
    if (!writeBytesAtomically(
            marker, std::vector<unsigned char>(text.begin(), text.end()),
            error))
        return failed(error, result.pairs);
    ItemOutcome written;
    written.state = ItemState::Written;
    written.pairs = result.pairs;
    return written;
}

} // namespace ulk::exporter

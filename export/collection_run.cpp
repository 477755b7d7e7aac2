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

// One collection run: its items in order, its counts and its failures.
class CollectionRun {
  public:
    CollectionRun(const ExportOptions& options,
                  const std::vector<CollectionItem>& items,
                  InterruptWatch* watch, std::ostream& err)
        : options_(options), items_(items), watch_(watch), err_(err),
          start_(Clock::now())
    {
    }

    // Exports every item, then writes failed.txt and the summary.
    // Returns the exit status.
    int exportAll(std::ostream& out)
    {
        for (const CollectionItem& item : items_) {
            if (watch_ != nullptr && watch_->signal() != 0)
                signal_ = watch_->signal();
            if (signal_ != 0)
                break;
            exportItem(item);
            if (signal_ == 0)
                showProgress(0);
        }
        if (!options_.quiet)
            err_ << '\n';

        std::string error;
        if (!writeFailedList(options_.outputDir, failures_, error))
            err_ << kName << error << '\n';
        for (const Failure& f : failures_)
            err_ << kName << "failed: " << f.input << ": " << f.reason << '\n';
        if (signal_ != 0) {
            err_ << kName << "interrupted by " << signalName(signal_) << ": "
                 << written_ << " videos written; run the same command again "
                 << "to finish the rest\n";
            return exitStatusForSignal(signal_);
        }
        int workers = options_.jobs > 0 ? options_.jobs : defaultJobCount();
        out << formatCollectionSummary(written_, skipped_,
                                       long(failures_.size()), pairs_,
                                       elapsed(), workers);
        if (!failures_.empty())
            err_ << kName << failures_.size() << " of " << items_.size()
                 << " inputs failed; they are listed in "
                 << (fs::path(options_.outputDir) / kFailedListName).string()
                 << '\n';
        return failures_.empty() ? kExitOk : kExitFailure;
    }

  private:
    double elapsed() const
    {
        return std::chrono::duration<double>(Clock::now() - start_).count();
    }

    // The collection's progress line, with itemPairs written of the item
    // in hand.
    void showProgress(long itemPairs)
    {
        if (options_.quiet)
            return;
        long computed = written_ + long(failures_.size());
        err_ << '\r'
             << formatCollectionProgress(
                    computed + skipped_, long(items_.size()),
                    pairs_ + itemPairs, computed, elapsed())
             << "    ";
        err_.flush();
    }

    // Skips the item when it is done, else computes it from scratch and
    // writes its marker last.
    void exportItem(const CollectionItem& item)
    {
        const std::string marker =
            doneMarkerPath(options_.outputDir, item.output);
        const std::string dir =
            (fs::path(options_.outputDir) / item.output).string();
        long donePairs = 0;
        if (!outputsTaken_.insert(item.output).second) {
            failures_.push_back(
                {item.input,
                 "its output folder " + dir + " is that of an earlier input"});
            return;
        }
        if (!options_.force && readDoneMarker(marker, options_, donePairs)) {
            ++skipped_;
            return;
        }
        // The marker goes first, so that a stop from here on leaves the item
        // to be redone.
        std::error_code ec;
        fs::remove(marker, ec);
        clearEarlierAttempt(dir, marker);

        ExportOptions itemOptions = options_;
        itemOptions.inputs = {item.input};
        itemOptions.outputDir = dir;
        itemOptions.force = true;
        itemOptions.quiet = true;
        std::string error;
        std::string created;
        std::unique_ptr<FrameSource> source =
            FrameSource::open(itemOptions.inputs, error);
        if (!source || !prepareOutputDir(dir, error, &created)) {
            failures_.push_back({item.input, error});
            return;
        }
        std::ostringstream unused;
        ExportResult result =
            runBatchExport(itemOptions, *source, unused, watch_,
                           [this](long itemPairs) { showProgress(itemPairs); });
        pairs_ += result.pairs;
        if (result.pairs == 0)
            removeCreatedFolders(dir, created);
        if (result.signal != 0) {
            signal_ = result.signal;
            return;
        }
        if (!result.error.empty()) {
            failures_.push_back({item.input, result.error});
            return;
        }
        // Written last: the item counts as done from here on.
        std::string text = doneMarkerText(result.pairs, options_);
        if (!writeBytesAtomically(
                marker, std::vector<unsigned char>(text.begin(), text.end()),
                error)) {
            failures_.push_back({item.input, error});
            return;
        }
        ++written_;
    }

    const ExportOptions& options_;
    const std::vector<CollectionItem>& items_;
    InterruptWatch* watch_;
    std::ostream& err_;
    const Clock::time_point start_;
    std::vector<Failure> failures_;
    std::set<std::string> outputsTaken_; // item folders used so far
    long written_ = 0;
    long skipped_ = 0;
    long pairs_ = 0; // written in this run
    int signal_ = 0; // the stop signal caught, 0 while none
};

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
    std::string error;
    if (!prepareOutputDir(options.outputDir, error)) {
        err << kName << error << '\n';
        return kExitFailure;
    }
    CollectionRun run(options, items, watch, err);
    return run.exportAll(out);
}

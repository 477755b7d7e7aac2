#include "collection_run.h"

#include "atomic_file.h"
#include "batch_export.h"
#include "progress.h"

#include <chrono>
#include <filesystem>

namespace ulk::exporter {

namespace fs = std::filesystem;

const char* const kFailedListName = "failed.txt";

namespace {

using Clock = std::chrono::steady_clock;

const char* const kName = "of_ulk_export: ";

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
        const std::vector<std::string> clashes =
            sharedOutputReasons(options_.outputDir, items_);
        for (size_t i = 0; i < items_.size(); ++i) {
            if (watch_ != nullptr && watch_->signal() != 0)
                signal_ = watch_->signal();
            if (signal_ != 0)
                break;
            exportItem(items_[i], clashes[i]);
            if (signal_ == 0)
                showProgress(0);
        }
        if (!options_.quiet)
            err_ << '\n';

        // Where the list could not be written, the lines below are the only
        // record of the failures, and the last line says why.
        std::string listError;
        const bool listed =
            writeFailedList(options_.outputDir, failures_, listError);
        for (const Failure& f : failures_)
            err_ << kName << "failed: " << f.input << ": " << f.reason << '\n';
        if (!listed && signal_ != 0)
            err_ << kName << listError << '\n';
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
        if (!failures_.empty()) {
            err_ << kName << failures_.size() << " of " << items_.size()
                 << " inputs failed";
            if (listed)
                err_ << "; they are listed in "
                     << (fs::path(options_.outputDir) / kFailedListName)
                            .string();
            else
                err_ << ", named above; the list of them was not written: "
                     << listError;
            err_ << '\n';
        }
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

    // Exports one item, unless its output folder is an earlier item's,
    // and counts how it ended.
    void exportItem(const CollectionItem& item, const std::string& clash)
    {
        if (!clash.empty()) {
            failures_.push_back({item.input, clash});
            return;
        }
        ItemOutcome outcome = exportCollectionItem(
            options_, item, watch_,
            [this](long itemPairs) { showProgress(itemPairs); });
        pairs_ += outcome.pairs;
        switch (outcome.state) {
        case ItemState::Written:
            ++written_;
            break;
        case ItemState::Skipped:
            ++skipped_;
            break;
        case ItemState::Failed:
            failures_.push_back({item.input, outcome.reason});
            break;
        case ItemState::Stopped:
            signal_ = outcome.signal;
            break;
        }
    }

    const ExportOptions& options_;
    const std::vector<CollectionItem>& items_;
    InterruptWatch* watch_;
    std::ostream& err_;
    const Clock::time_point start_;
    std::vector<Failure> failures_;
    long written_ = 0;
    long skipped_ = 0;
    long pairs_ = 0; // written in this run
    int signal_ = 0; // the stop signal caught, 0 while none
};

} // namespace

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

} // namespace ulk::exporter

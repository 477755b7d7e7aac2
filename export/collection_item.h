// One item of a collection exported on its own: skipped when its done
// marker matches, else its earlier files removed, its pairs written under
// temporary names and renamed, and its marker written last. A run over the
// whole collection and a distributed runner that hands out one item per
// task both call it, so their trees are the same.
#ifndef OF_ULK_COLLECTION_ITEM_H
#define OF_ULK_COLLECTION_ITEM_H

#include "collection_list.h"
#include "export_options.h"
#include "interrupt_watch.h"

#include <functional>
#include <string>
#include <vector>

namespace ulk::exporter {

// The done marker of an item: OUTPUT_ROOT/<item output>.done, beside the
// item's folder so that the folder holds flow files only.
std::string doneMarkerPath(const std::string& outputRoot,
                           const std::string& itemOutput);

// The marker's text: the pair count and the options that shape the files.
std::string doneMarkerText(long pairs, const ExportOptions& options);

// Whether the marker at path was written by a complete run with options of
// the same outputs; pairs receives its pair count.
bool readDoneMarker(const std::string& path, const ExportOptions& options,
                    long& pairs);

// For each item, the reason it fails because an earlier item of the list
// has the same output folder under outputRoot, or "" when it has its own.
std::vector<std::string>
sharedOutputReasons(const std::string& outputRoot,
                    const std::vector<CollectionItem>& items);

// How the export of one item ended.
enum class ItemState {
    Written, // all pairs and the marker written now
    Skipped, // marked done by an earlier run with the same options
    Failed,  // reason says why; the item has no marker
    Stopped  // a stop signal ended it; the item has no marker
};

struct ItemOutcome {
    ItemState state = ItemState::Failed;
    long pairs = 0;     // pairs written now (also when failed or stopped)
    std::string reason; // for Failed
    int signal = 0;     // for Stopped: the signal caught
};

// Exports item into OUTPUT_ROOT/<item.output>, OUTPUT_ROOT being
// options.outputDir (which must exist), with the file options of options
// and options.jobs workers. Skips the item when its marker matches, unless
// options.force is set; otherwise removes its marker first, then the
// output and temporary files an earlier attempt left, computes every pair
// and writes the marker last. onProgress, when given, receives the pairs
// written of this item as they go. A stop signal caught by watch ends the
// item after the pair in hand. Reports every failure in the outcome.
ItemOutcome exportCollectionItem(const ExportOptions& options,
                                 const CollectionItem& item,
                                 frontend::InterruptWatch* watch,
                                 std::function<void(long)> onProgress);

} // namespace ulk::exporter

#endif

// A whole collection exported in one run: every video or frame folder into
// its mirrored output folder, a done marker written last for each, videos
// done before skipped, partial ones redone, failures listed in failed.txt.
#ifndef OF_ULK_COLLECTION_RUN_H
#define OF_ULK_COLLECTION_RUN_H

#include "collection_item.h"
#include "collection_list.h"
#include "export_options.h"
#include "interrupt_watch.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace ulk::exporter {

// Name of the list of failed inputs in the output root.
extern const char* const kFailedListName;

// A failed input and its reason, one line of failed.txt.
struct Failure {
    std::string input;
    std::string reason;
};

// Writes OUTPUT_ROOT/failed.txt (the input, a tab, the reason, one per
// line, in the order given) through a temporary name, or removes a list of
// an earlier run when failures is empty. Returns false and sets error when
// the list cannot be written.
bool writeFailedList(const std::string& root,
                     const std::vector<Failure>& failures, std::string& error);

// Exports every item into options.outputDir. Items with a matching done
// marker are skipped unless options.force is set; any other item's earlier
// files are removed and it is computed again. A failing item is listed in
// OUTPUT_ROOT/failed.txt with its reason and the run goes on; a stop
// signal caught by watch ends the run after the pair in hand. Progress goes
// to err unless options.quiet is set, the summary to out. Returns the exit
// status: 0 when every item is done, 1 when one failed, 128 + the signal
// when stopped.
int runCollection(const ExportOptions& options,
                  const std::vector<CollectionItem>& items,
                  frontend::InterruptWatch* watch, std::ostream& out,
                  std::ostream& err);

} // namespace ulk::exporter

#endif

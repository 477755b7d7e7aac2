// The exporter's collection code for ofulk.batch: the collection listed as
// of_ulk_export lists it, one item exported per call with the exporter's
// own markers, temporary names and failure reasons, failed.txt, and the
// progress and summary lines. The runner in Python only hands out items.
#include "bindings.h"
#include "errors.h"
#include "unlocked.h"

#include "batch_export.h"
#include "collection_item.h"
#include "collection_list.h"
#include "collection_run.h"
#include "export_options.h"
#include "interrupt_watch.h"
#include "progress.h"

#include <pybind11/stl.h>

#include <csignal>
#include <filesystem>
#include <memory>

namespace ulk::python {

namespace py = pybind11;

namespace {

// The options of an of_ulk_export command line (the arguments after the
// program name), or a ValueError naming what is wrong with it.
exporter::ExportOptions parsedOptions(const std::vector<std::string>& args)
{
    exporter::ExportOptions options;
    std::string error;
    if (!exporter::parseExportOptions(args, options, error))
        raiseValueError(error);
    return options;
}

// The collection of a command line: a dict with items (input, output
// folder) in order, the reason each item fails for sharing an earlier
// item's folder ("" when it does not), and the options the runner needs.
// The output root is left alone; the runner prepares it once it has a
// cluster, so that a run that never gets one leaves nothing behind.
py::dict collectionPlan(const std::vector<std::string>& args)
{
    exporter::ExportOptions options = parsedOptions(args);
    std::error_code ec;
    if (options.inputs.size() == 1 &&
        !std::filesystem::exists(options.inputs[0], ec))
        raiseFileNotFound(options.inputs[0]);
    if (options.inputs.size() != 1 ||
        !exporter::isCollectionInput(options.inputs[0]))
        raiseValueError("the input must be one list file (.txt or .list) or "
                        "one folder of videos");
    std::vector<exporter::CollectionItem> items;
    std::string error;
    bool listed;
    {
        Unlocked unlocked;
        listed = exporter::listCollection(options.inputs[0], items, error);
    }
    if (!listed)
        raiseOsError(error);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const exporter::CollectionItem& item : items)
        pairs.emplace_back(item.input, item.output);
    py::dict plan;
    plan["items"] = pairs;
    plan["clashes"] = sharedOutputReasons(options.outputDir, items);
    plan["output_dir"] = options.outputDir;
    plan["quiet"] = options.quiet;
    plan["jobs"] = options.jobs;
    return plan;
}

// Creates the output root when missing and checks that it takes files.
void prepareOutputRoot(const std::string& root)
{
    std::string error;
    bool prepared;
    {
        Unlocked unlocked;
        prepared = exporter::prepareOutputDir(root, error);
    }
    if (!prepared)
        raiseOsError(error);
}

// Exports one item with the exporter's code, without the interpreter's
// lock; a request on stop ends it after the pair in hand, the item left
// without its marker. Returns (state, pairs written, reason).
py::tuple exportItem(const std::vector<std::string>& args,
                     const std::string& input, const std::string& output,
                     int jobs, frontend::InterruptWatch* stop)
{
    exporter::ExportOptions options = parsedOptions(args);
    options.jobs = jobs;
    exporter::ItemOutcome outcome;
    {
        Unlocked unlocked;
        outcome = exporter::exportCollectionItem(options, {input, output}, stop,
                                                 nullptr);
    }
    const char* state = "failed";
    switch (outcome.state) {
    case exporter::ItemState::Written:
        state = "written";
        break;
    case exporter::ItemState::Skipped:
        state = "skipped";
        break;
    case exporter::ItemState::Failed:
        state = "failed";
        break;
    case exporter::ItemState::Stopped:
        state = "stopped";
        break;
    }
    return py::make_tuple(state, outcome.pairs, outcome.reason);
}

void writeFailures(const std::string& root,
                   const std::vector<std::pair<std::string, std::string>>& list)
{
    std::vector<exporter::Failure> failures;
    for (const auto& entry : list)
        failures.push_back({entry.first, entry.second});
    std::string error;
    if (!exporter::writeFailedList(root, failures, error))
        raiseOsError(error);
}

} // namespace

void bindCollectionExport(py::module_& m)
{
    py::class_<frontend::InterruptWatch>(
        m, "_ItemStop",
        "_ItemStop()\n\nA stop request for _export_collection_item; "
        "request() ends the export after the pair in hand, from any "
        "thread.")
        .def(py::init([] {
            return std::make_unique<frontend::InterruptWatch>(
                frontend::InterruptWatch::NoSignals{});
        }))
        .def(
            "request",
            [](frontend::InterruptWatch& stop) { stop.request(SIGTERM); },
            py::call_guard<py::gil_scoped_release>());
    m.def("_collection_plan", &collectionPlan, py::arg("args"),
          "_collection_plan(args) -> dict\n\nThe items of an of_ulk_export "
          "collection command line. ValueError for a wrong command line, "
          "OSError for an unreadable collection.");
    m.def("_prepare_output_root", &prepareOutputRoot, py::arg("root"),
          "_prepare_output_root(root) -> None\n\nCreates the output root "
          "when missing; OSError when it cannot take files.");
    m.def("_export_collection_item", &exportItem, py::arg("args"),
          py::arg("input"), py::arg("output"), py::arg("jobs"),
          py::arg("stop") = nullptr,
          "_export_collection_item(args, input, output, jobs, stop=None) -> "
          "tuple\n\nExports one item as of_ulk_export does, until "
          "stop.request() if a stop is given; returns (state, pairs, "
          "reason), state one of written, skipped, failed, stopped.");
    m.def("_write_failed_list", &writeFailures, py::arg("root"),
          py::arg("failures"),
          "_write_failed_list(root, failures) -> None\n\nWrites "
          "root/failed.txt from (input, reason) pairs, or removes it when "
          "there are none.");
    m.def("_collection_progress", &exporter::formatCollectionProgress,
          py::arg("finished"), py::arg("total"), py::arg("pairs"),
          py::arg("computed"), py::arg("seconds"),
          "_collection_progress(finished, total, pairs, computed, seconds) "
          "-> str\n\nof_ulk_export's collection progress line.");
    m.def("_collection_summary", &exporter::formatCollectionSummary,
          py::arg("written"), py::arg("skipped"), py::arg("failed"),
          py::arg("pairs"), py::arg("seconds"), py::arg("workers"),
          "_collection_summary(written, skipped, failed, pairs, seconds, "
          "workers) -> str\n\nof_ulk_export's collection summary line.");
    m.def("_export_help", &exporter::exportHelpText,
          "_export_help() -> str\n\nof_ulk_export's option list.");
}

} // namespace ulk::python

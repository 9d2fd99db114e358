// The run engine of an evaluation: every judgement of a run, made one after
// another on the caller's thread or handed to an executor, recorded, and the
// report written (see engine.cpp).
#pragma once

#include "pyface/pyface.hpp"

namespace tavrin::evaluation_run {

namespace nb = nanobind;

// What one run is asked to do. Handles are borrowed from the caller's frame.
struct RunRequest {
    nb::handle globals;       // the module's dict: its names are read when used
    nb::handle evaluation;    // an Evaluation
    nb::handle json_path;
    nb::handle markdown_path; // str or None: Markdown after a run without error
    bool verbose = false;
    long jobs = 1;            // judgements in flight at once
    bool keep_going = false;  // a failed judgement becomes an error record and the run goes on
    nb::handle observer;      // hears (and prints) how the run goes: the RunPrinter protocol
    nb::handle executor;      // None, or executor(jobs) -> the pool that makes judgements
    nb::handle extras;        // None, or {report attribute: value}, set on every report written
    nb::handle usage;         // None, or a callable whose requests/retries/tokens go into the report
    nb::handle start_note;    // None, or the error_msg of a report written when the run starts
};

// Runs the evaluation as `r` says and returns the report it wrote last.
nb::object run_engine(const RunRequest &r);

// work(job): makes one judgement of a concurrent run (the executor calls it,
// on any thread); returns (where, job, value, lines).
extern const pyface::FuncDef work_def;

} // namespace tavrin::evaluation_run

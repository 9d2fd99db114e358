// What keeps an evaluation run in step with the world around it: the error
// text a cut-short run records, exceptions carried as Python errors, the
// SIGTERM handler installed while the run works, and the run's journal.
#pragma once

#include "pyface/pyface.hpp"

#include <utility>

namespace tavrin::evaluation_run {

namespace nb = nanobind;

// The text an interrupted run keeps as its error message: the text of the
// exception `exc`, or its type name when the text is empty, so that a run cut
// short never looks complete.
nb::str error_text(nb::handle exc);

// Runs `f`; any exception leaves as nb::python_error.
template <class F> void as_python(F &&f) {
    try {
        f();
    } catch (nb::python_error &) {
        throw;
    } catch (...) {
        pyface::translate_current_exception();
        throw nb::python_error();
    }
}

// Runs `f` from a destructor: a Python error is reported as unraisable
// (`what` says what was being done) and nothing leaves.
template <class F> void in_destructor(const char *what, F &&f) noexcept {
    try {
        f();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(what);
    } catch (...) {
    }
}

// While a run works, SIGTERM (kill, a container stop, a CI timeout) ends it
// like Ctrl+C: the handler marks `flag` (a list it appends the signal
// number to) and raises KeyboardInterrupt, so the report is still written.
// Off the main thread signals are left alone.
class SigtermGuard {
public:
    SigtermGuard(nb::handle globals, nb::handle flag);
    ~SigtermGuard();
    SigtermGuard(const SigtermGuard &) = delete;
    SigtermGuard &operator=(const SigtermGuard &) = delete;

private:
    nb::object signal_;
    nb::object previous_;
    bool installed_ = false;
};

// The run's journal: each new record is on disk as soon as it is made. It is
// removed once the report holding every record has been written, and kept
// otherwise.
class JournalGuard {
public:
    // None: the report class keeps no journals
    explicit JournalGuard(nb::object journal) {
        if (!journal.is_none())
            journal_ = std::move(journal);
    }
    void append(nb::handle record) {
        if (journal_.is_valid())
            journal_.attr("append")(record);
    }
    void discard() {
        if (journal_.is_valid())
            std::exchange(journal_, nb::object()).attr("discard")();
    }
    ~JournalGuard();
    JournalGuard(const JournalGuard &) = delete;
    JournalGuard &operator=(const JournalGuard &) = delete;

private:
    nb::object journal_;
};

} // namespace tavrin::evaluation_run

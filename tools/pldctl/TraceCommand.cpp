// `pldctl trace show`'s options; TraceShow.cpp prints the trace.
#include <CLI/CLI.hpp>

#include "Control.h"
#include "TraceShow.h"

namespace pldctl {

TraceCommands::TraceCommands(CLI::App& app) {
    m_trace = app.add_subcommand("trace", "read a trace file the library wrote (ZVPLD_TRACE)");
    m_trace->require_subcommand(1);
    CLI::App* show =
        m_trace->add_subcommand("show", "print it, one line per call, notification or piece");
    show->add_option("file", m_file, "the trace file")->required();
    show->add_flag(
        "--diffable", m_options.diffable,
        "leave out times, threads, seqs and handles, so that two runs diff line by line");
    show->add_flag("--summary", m_options.summary,
                   "count the calls per operation with their times, the notifications and pieces "
                   "per kind");
    AddJsonFlag(show, m_options.json);
}

bool TraceCommands::parsed() const {
    return m_trace->parsed();
}

int TraceCommands::run() const {
    return ShowTrace(m_file, m_options, stdout, stderr);
}

}  // namespace pldctl

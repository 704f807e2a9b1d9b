// The tool's entry: the root from the command line, the catalogue on
// standard output, progress and the summary on standard error.
#pragma once

// Returns the exit status.
int run_catalogue(int argc, char** argv);

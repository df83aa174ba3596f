#pragma once
// The program's command line: the link to open and an optional command to run without a window.
#include <map>
#include <string>

#include <docopt/docopt.h>

// Parses the arguments after the program name against the usage text. Returns the parser's map,
// keyed by the long option names ("--serial-port", "--network-address", "--command"); an option
// that was not given holds an empty value. Ends the process itself for -h/--help and --version
// (status 0) and for a command line that does not fit the usage text (status 255, after the
// parser's message and the usage text).
std::map<std::string, docopt::value> ParseCommandLine(int argc, char** argv);

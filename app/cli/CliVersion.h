#pragma once
// The --version text of vidmill-cli.

#include <string>

// The program's version, the converter engine's, and for each media library
// the version of the one loaded from the LibAV folder beside the program
// (or "not loaded" with the loader's reason) next to the version of the
// headers it was built with.
std::string CliVersionText();

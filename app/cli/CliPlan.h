#pragma once
// What --dry-run prints of a planned output: the settings its record gives
// the engine, as option lines in the engine's names.

#include <string>
#include <vector>

#include "converter/OptionRecords.h"

// NAME=VALUE for each field of AOptions that differs from a fresh record,
// in the record's order, then its extra option lines (the profile's and
// the --extra ones).
std::vector<std::string> PlannedOptionLines(const TOutputOptions& AOptions);

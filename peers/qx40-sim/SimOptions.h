#pragma once
// Command-line options of qx40-sim.
#include "Qx40Device.h"

#include <string>
#include <vector>

namespace qx40sim {

struct TSimOptions {
    TSimConfig config;
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name. On a bad argument returns false with `error`.
bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& out, std::string& error);

// The text of --help.
std::string SimUsage();

} // namespace qx40sim

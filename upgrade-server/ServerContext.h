#pragma once
// What every session of one server shares, read-only: one generation of the catalogue with the
// server's settings. A reload (SIGHUP) publishes a new generation; a session keeps the one it
// started with, so the files of an old generation stay in memory until the last session using
// them ends, and no session ever sees half of one catalogue and half of another.
#include "Catalogue.h"
#include "Faults.h"
#include "Fleet.h"
#include "Log.h"
#include "Metrics.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct ServerContext {
    Catalogue catalogue;
    // 1 at start-up, one more at each successful reload.
    uint64_t generation = 1;
    Faults faults;
    std::chrono::milliseconds stepLimit{30000};
    // The server's counters, the same object for every generation.
    std::shared_ptr<ServerMetrics> metrics = std::make_shared<ServerMetrics>();
    // Connections counted instead of logged one by one, the same object for every generation.
    std::shared_ptr<GroupedLines> grouped = std::make_shared<GroupedLines>();
    // The register and the rollouts, the same object for every generation.
    std::shared_ptr<Fleet> fleet = std::make_shared<Fleet>();
};

// Entries the catalogue serves: firmware types, the tool, refused identities and pages.
size_t CatalogueEntries(const Catalogue& catalogue);
// "entries=N bytes=B", for the first line and the reload lines.
std::string CatalogueSummary(const Catalogue& catalogue);

#pragma once
// The request the tests, benchmarks and fuzz targets send to an upgrade server.
#include "CliInfo.h"

// A request as the window builds it for a QX40 with software 1.20, with a new empty stream.
TCliInfo TestRequest();

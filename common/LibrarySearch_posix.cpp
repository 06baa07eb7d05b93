#include "LibrarySearch.h"

void RestrictLibrarySearch() {
    // Nothing to restrict: without an RPATH of $ORIGIN the loader searches only the system's
    // folders and LD_LIBRARY_PATH, which the user sets.
}

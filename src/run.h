// One run of the program: the options it was given, and what it learns
// along the way that later documents reuse. Every part that needs either
// gets the run it works for; a fresh object is a fresh run.
#ifndef SKELVANE_RUN_H
#define SKELVANE_RUN_H

#include "pattern.h"
#include "settings.h"

#include <set>
#include <string>
#include <utility>

namespace skelvane {

struct run {
    explicit run(runsettings given) : settings(std::move(given)) {}

    const runsettings settings;
    keptpatterns patterns;                     // pattern texts and checks, shared by documents
    std::set<std::string> lookeddirectories;  // already looked at for what killed runs left
};

}  // namespace skelvane

#endif

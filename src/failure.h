// The one way a failure travels up through the layers above the operating
// system: what it is about (a file, a file and line, "standard output")
// and why, as the user reads it. The OS layer speaks in errno values
// (osfile.h); the first layer that knows the subject turns one into a
// failure, with describe() for the reason.
#ifndef SKELVANE_FAILURE_H
#define SKELVANE_FAILURE_H

#include <string>

namespace skelvane {

struct failure {
    std::string subject;
    std::string reason;  // empty: no failure
    bool failed() const { return !reason.empty(); }
};

}  // namespace skelvane

#endif

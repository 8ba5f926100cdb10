// Lines the directive pass's new text up with the document it comes from,
// for --diff, and hands the unified diff the lines that changed.
//
// The pass says which bytes it copies from the document, which it drops
// and which pattern text it inserts, so no search is needed to find what
// changed: between two copied line ends the texts agree line for line.
// What lies between is a stretch of changed lines; a short one is given the
// shortest edit script, as diff does, a long one is shown as removed and
// added whole. With --eol=lf or crlf the sink converts the new text itself,
// and a copied line whose line end that changes is a changed line.
#ifndef SKELVANE_DIFFSINK_H
#define SKELVANE_DIFFSINK_H

#include "bytestream.h"
#include "lineends.h"
#include "spool.h"
#include "unidiff.h"

#include <cstdint>
#include <memory>
#include <string_view>

namespace skelvane {

class diffsink : public bytesink {
public:
    // original: the document the pass reads, opened a second time.
    diffsink(unifieddiff& diff, rereadable& original, lineendstyle style);

    void dropped(std::string_view bytes) override;
    void patterntext(bool begins) override { inpattern_ = begins; }
    // After the pass: closes the last stretch of changes and the diff.
    // Returns the first error met, 0 for none.
    int finish();

    // Above these, a stretch of changes is not searched for common lines.
    static constexpr std::uint64_t searchbytes = spool::memorylimit;
    static constexpr std::size_t searchlines = 4096;
    static constexpr int searchchanges = 1000;

protected:
    void overflow(std::string_view bytes) override;

private:
    void copied(std::string_view bytes);
    void inserted(std::string_view bytes);
    void moveold(std::string_view bytes);
    void openstretch(std::uint64_t start);
    void diverge();
    void addconverted(std::uint64_t offset, std::uint64_t length);
    bool lineendchanges(char before) const;
    void closestretch(std::uint64_t oldend);
    bool searchstretch(std::uint64_t oldend);
    void check(int error);

    unifieddiff& diff_;
    rereadable& original_;
    lineendstyle style_;
    lineendconverter converter_;
    bool inpattern_ = false;

    std::uint64_t oldoffset_ = 0;     // in the document: the next byte the pass reads
    std::uint64_t oldlinestart_ = 0;  // and where its current line starts
    char previous_ = '\n';            // the byte before oldoffset_

    // Since the current lines began, the pass dropped or inserted text.
    bool diverged_ = false;
    // An open stretch of changed lines: old ones from stretchstart_ on,
    // new ones in added_.
    bool instretch_ = false;
    std::uint64_t stretchstart_ = 0;
    std::uint64_t stretchlines_ = 0;  // line ends among the old ones
    spool added_;

    static constexpr std::size_t chunk = 64 * 1024;
    std::unique_ptr<char[]> buffer_;  // for reading the document back
};

}  // namespace skelvane

#endif

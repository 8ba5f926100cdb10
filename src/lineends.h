// Line-end styles for --eol: rewrites the line ends of a stream of bytes to
// one style as they pass, in constant memory, whatever the chunks.
//
// To LF, every run of CRs right before an LF is dropped (so "\r\r\n" is one
// line end, and a second conversion changes nothing); to CR LF, every LF
// without a CR before it becomes CR LF. Any other CR is left as it is.
// Call finish() at the end of a stream: CRs held back to see what follows
// them are written then.
#ifndef SKELVANE_LINEENDS_H
#define SKELVANE_LINEENDS_H

#include "bytestream.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace skelvane {

// asis leaves line ends as they are; lf and crlf give every line one
// style. ofdocument (--eol=keep) stands for the style of the document's
// first line end, which pattern text is given: firstlineend() says which.
enum class lineendstyle { asis, lf, crlf, ofdocument };

class lineendconverter {
public:
    explicit lineendconverter(lineendstyle style = lineendstyle::asis) : style_(style) {}
    void write(bytesink& out, std::string_view bytes);
    void finish(bytesink& out);
    // CRs are held back, to be dropped if an LF follows.
    bool holding() const { return heldcrs_ > 0; }

private:
    void release(bytesink& out);

    lineendstyle style_;
    bool lastcr_ = false;        // to CR LF: the last byte written was a CR
    std::uint64_t heldcrs_ = 0;  // to LF: CRs not written yet
};

// A sink that converts everything written to it and passes it on.
class lineendsink : public bytesink {
public:
    lineendsink(bytesink& out, lineendstyle style) : out_(out), converter_(style) {}
    void finish();

protected:
    void overflow(std::string_view bytes) override;

private:
    bytesink& out_;
    lineendconverter converter_;
};

// Puts the indentation before every line that is not empty (one that holds
// more than its LF or CR LF), for --indent. atlinestart: whether the first
// byte written begins a line. Call finish() at the end: a CR held back at
// the start of a line to see what follows it is written then.
class indentsink : public bytesink {
public:
    indentsink(bytesink& out, std::string_view indentation, bool atlinestart)
        : out_(out), indentation_(indentation), atlinestart_(atlinestart) {}
    void finish();

protected:
    void overflow(std::string_view bytes) override;

private:
    bytesink& out_;
    std::string indentation_;
    bool atlinestart_;
    bool heldcr_ = false;
};

// The style of the first line end in a file, asis when it has none or
// cannot be read.
lineendstyle firstlineend(const std::string& path);

}  // namespace skelvane

#endif
